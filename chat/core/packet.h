// The chat's packet codec: one process-wide 1024-byte buffer in which a
// packet is built before sending and read after receiving.
//
//   offset 0      4                      4+n
//          +------+----------------------+-------------------+
//          | id   | fields: bytes first, | zero bytes        |
//          | 4 ch | then one text + NUL  | up to offset 1024 |
//          +------+----------------------+-------------------+
//
// Byte fields are signed 8-bit: a sender's 200 reads back as -56.
#ifndef YAMMER_PACKET_H
#define YAMMER_PACKET_H

#define PACKET_SIZE   1024  // every chat packet travels as all of these bytes
#define PACKET_CLEAR   100  // bytes zeroed after each packet; every message fits
#define PACKET_TEXT    50   // window a text field is read from

extern char packetbuffer[PACKET_SIZE];
extern int packetsize;  // bytes built so far; 4 after Packet

// Starts a packet: the first 4 characters of `id` (zero-padded when shorter).
void Packet(const char *id);
// Appends one byte field.
void PacketAddByte(char b);
// Appends the one text field and its terminator; the text must be the last field.
void PacketAddManyBytes(const char *words);

// 1 when a packet has been built in this process and bytes 0-3 match the
// first 4 characters of `id`; then reading starts at the first field. Else 0.
int PacketRead(const char *id);
// The next byte field, as a signed 8-bit value.
signed char PacketGetByte();
// Reads a text field into `words` (room for PACKET_TEXT + 1 bytes): the
// non-zero bytes of the PACKET_TEXT bytes at the read position. The read
// position does not move, so a text is always the last field read.
void PacketGetManyBytes(char *words);

#endif
