// The chat's packet codec: building and reading packets in packetbuffer.
#include <string.h>
#include "packet.h"

char packetbuffer[PACKET_SIZE];
int packetsize = 0;
static int packetpos = 0;

void Packet(const char *id)
{
  strncpy(packetbuffer, id, 4);
  packetsize = 4;
}

void PacketAddByte(char b)
{
  if (packetsize >= PACKET_SIZE)  // no chat message comes near; never write past the buffer
    return;
  packetbuffer[packetsize] = b;
  packetsize++;
}

void PacketAddManyBytes(const char *words)
{
  int len = (int)strlen(words);
  if (packetsize + len + 1 > PACKET_SIZE)
    len = PACKET_SIZE - packetsize - 1;
  if (len < 0)
    return;
  memcpy(packetbuffer + packetsize, words, len);
  packetbuffer[packetsize + len] = 0;
  packetsize += len;
}

int PacketRead(const char *id)
{
  // packetsize counts the last packet built; before any, nothing matches.
  if (packetsize < 4 || strncmp(packetbuffer, id, 4) != 0)
    return 0;
  packetpos = 4;
  return 1;
}

signed char PacketGetByte()
{
  if (packetpos >= PACKET_SIZE)
    return 0;
  return (signed char)packetbuffer[packetpos++];
}

void PacketGetManyBytes(char *words)
{
  int n = 0;
  // Zero bytes inside the window are skipped, not taken as the end.
  for (int i = packetpos; i < packetpos + PACKET_TEXT && i < PACKET_SIZE; i++)
    if (packetbuffer[i] != 0)
      words[n++] = packetbuffer[i];
  words[n] = 0;
}
