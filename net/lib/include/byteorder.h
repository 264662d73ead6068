/* Little- and big-endian 16-, 32- and 64-bit reads and writes of byte
 * buffers, for the wire formats: numbers are put byte by byte, never by
 * copying a struct or an int onto the wire. Header only. */
#ifndef NETLANE_BYTEORDER_H
#define NETLANE_BYTEORDER_H

#include <stdint.h>

static inline uint32_t __netlane_get_le32(const unsigned char *p)
{
  return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

static inline void __netlane_put_le32(unsigned char *p, uint32_t v)
{
  p[0] = (unsigned char)(v & 0xFF);
  p[1] = (unsigned char)((v >> 8) & 0xFF);
  p[2] = (unsigned char)((v >> 16) & 0xFF);
  p[3] = (unsigned char)((v >> 24) & 0xFF);
}

static inline uint32_t __netlane_get_be32(const unsigned char *p)
{
  return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | (uint32_t)p[3];
}

static inline void __netlane_put_be32(unsigned char *p, uint32_t v)
{
  p[0] = (unsigned char)((v >> 24) & 0xFF);
  p[1] = (unsigned char)((v >> 16) & 0xFF);
  p[2] = (unsigned char)((v >> 8) & 0xFF);
  p[3] = (unsigned char)(v & 0xFF);
}

static inline uint64_t __netlane_get_le64(const unsigned char *p)
{
  return (uint64_t)__netlane_get_le32(p) | ((uint64_t)__netlane_get_le32(p + 4) << 32);
}

static inline void __netlane_put_le64(unsigned char *p, uint64_t v)
{
  __netlane_put_le32(p, (uint32_t)v);
  __netlane_put_le32(p + 4, (uint32_t)(v >> 32));
}

#endif
