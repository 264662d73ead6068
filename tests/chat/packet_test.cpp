// The chat packet codec: layout, signed byte fields, the 50-byte text window.
#include <gtest/gtest.h>
#include <string.h>
#include "packet.h"

namespace {

void zero_packet() { memset(packetbuffer, 0, sizeof packetbuffer); }

TEST(PacketCodec, ByteAndTextRoundTripInTheWireLayout)
{
  zero_packet();
  Packet("Mesg");
  PacketAddByte(0);
  PacketAddManyBytes("hello there");
  EXPECT_EQ(0, memcmp(packetbuffer, "Mesg\0hello there\0", 18));
  EXPECT_EQ(4 + 1 + 11, packetsize);

  ASSERT_EQ(1, PacketRead("Mesg"));
  EXPECT_EQ(0, PacketGetByte());
  char words[PACKET_TEXT + 1];
  PacketGetManyBytes(words);
  EXPECT_STREQ("hello there", words);

  // Reading again starts over at the first field.
  ASSERT_EQ(1, PacketRead("Mesg"));
  EXPECT_EQ(0, PacketGetByte());
  PacketGetManyBytes(words);
  EXPECT_STREQ("hello there", words);
}

TEST(PacketCodec, ByteFieldsAreSigned)
{
  zero_packet();
  Packet("Join");
  PacketAddByte((char)200);
  PacketAddByte(127);
  PacketAddByte((char)128);
  ASSERT_EQ(1, PacketRead("Join"));
  EXPECT_EQ(-56, PacketGetByte());
  EXPECT_EQ(127, PacketGetByte());
  EXPECT_EQ(-128, PacketGetByte());
}

TEST(PacketCodec, TextIsReadThroughA50ByteWindow)
{
  zero_packet();
  std::string text55(55, 'x');
  for (int i = 0; i < 55; i++)
    text55[i] = (char)('a' + i % 26);
  Packet("Numb");
  PacketAddManyBytes(text55.c_str());
  ASSERT_EQ(1, PacketRead("Numb"));
  char words[PACKET_TEXT + 1];
  PacketGetManyBytes(words);
  EXPECT_EQ(text55.substr(0, 50), std::string(words));

  // Zero bytes inside the window are skipped: what follows a text joins it.
  zero_packet();
  Packet("Numb");
  PacketAddManyBytes("12");
  packetbuffer[10] = '3';
  ASSERT_EQ(1, PacketRead("Numb"));
  PacketGetManyBytes(words);
  EXPECT_STREQ("123", words);
}

TEST(PacketCodec, IdsMustMatchInAllFourBytes)
{
  zero_packet();
  Packet("Mesg");
  EXPECT_EQ(0, PacketRead("Xesg"));
  EXPECT_EQ(0, PacketRead("MXsg"));
  EXPECT_EQ(0, PacketRead("MeXg"));
  EXPECT_EQ(0, PacketRead("MesX"));
  EXPECT_EQ(1, PacketRead("Mesg"));

  // A short id is padded with zero bytes.
  Packet("ab");
  EXPECT_EQ(0, memcmp(packetbuffer, "ab\0\0", 4));
  EXPECT_EQ(1, PacketRead("ab"));
  EXPECT_EQ(0, PacketRead("abc"));
}

TEST(PacketCodec, TextNearTheEndStaysInsideTheBuffer)
{
  zero_packet();
  Packet("Mesg");
  packetsize = PACKET_SIZE - 3;
  PacketAddManyBytes("abcdef");
  EXPECT_EQ(0, packetbuffer[PACKET_SIZE - 1]);
  EXPECT_EQ('b', packetbuffer[PACKET_SIZE - 2]);
  packetsize = PACKET_SIZE;
  PacketAddByte(7);
  EXPECT_EQ(PACKET_SIZE, packetsize);
  zero_packet();
  Packet("Mesg");
}

}  // namespace

namespace {

TEST(PacketCodec, NothingMatchesBeforeTheFirstPacketOfTheProcess)
{
  // A fresh process: re-run this test alone so no Packet call came before.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        memcpy(packetbuffer, "Mesg", 4);
        exit(PacketRead("Mesg") == 0 && PacketRead("") == 0 ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
