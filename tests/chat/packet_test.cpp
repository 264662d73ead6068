// The chat packet codec: layout, signed byte fields, the 50-byte text window.
#include <gtest/gtest.h>
#include <string.h>
#include <sodium.h>
#include <string>
#include "packet.h"
#include "seal.h"

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

namespace {

std::string hex(const void *p, size_t n)
{
  std::string out;
  char two[3];
  for (size_t i = 0; i < n; i++) {
    snprintf(two, sizeof two, "%02x", ((const unsigned char *)p)[i]);
    out += two;
  }
  return out;
}

bool zero_from(const char *p, size_t from)
{
  for (size_t i = from; i < PACKET_SIZE; i++)
    if (p[i])
      return false;
  return true;
}

// Made once by a separate program that called libsodium directly (salt
// a0..af, client secret 01..20, host secret 41..60, KEY "correct horse
// battery staple", the line "hello, sealed world" from user 3).
const char *K_HEX = "26995e5466d39be7d873e16782c02b073c718664e4dab83edaa7ef6d93fbc61b";
const char *CPK_HEX = "07a37cbc142093c8b755dc1b10e86cb426374ad16aa853ed0bdfc0b2b86d1c7c";
const char *HPK_HEX = "64b101b1d0be5a8704bd078f9895001fc03e8e9f9522f188dd128d9846d48466";
const char *KEYS_HEX =
    "fd0793c5faf4186ea76150a97bac2bc39aba67b4dc33d2bd115b956e374ca846"
    "2184ee1e46094cbfb2549ee85d65ecfdf4d3ae7241a7693792e5afd334a32077";
const char *SEAL_HEX =  // counter 0, client -> host
    "5365616c0000000000000000bf58e0d655953a9f13106341d7005cdd9fbc82a7e1e645da51aaa357df957b01"
    "149e3e4dc065a425d02fecc1ee9b2157dea4b2d7b7c04f74124d739d8d457ef1c39eb81ccc90683dfc3d7cc1"
    "f2a5b4e3a468197018083e42b9ea4ab0debe02015540afa3fc94a2c83ce1dbb19637ca5c95b122927f22ca04"
    "3aeddac3b88c89f781ed1e9f8c1c4f8a4175f9220c30679bfccf804b2fba134733f226db7bdc357f767958c3"
    "ef458dcbf745849ff390eb58d12f0ca4c43de1ea353833c1621aeb558b08b8dc2f46a55e7889d0403a44ef27"
    "a0d2d013064688dd0f562eb0179c7741a57649c32305f867713cefff35431dba5c5cb5f896e931926e1f8a9a"
    "bfb69b71c44c39da0c007139ee70531027ef2e78";
const char *SEAL1_HEX =  // counter 1, host -> client
    "5365616c00000000000000015ccd4840136f814940f4d99985a972b85feca547f69a4ef32774054b6d8b2add"
    "e88f570701cccaef91ccc516b9566c7acab5035cb9cd9fc9fd790025136683c01ba48d1036e9d533f66760ec"
    "49f8a5b4e70ffab2ab86db77b86beea0f2d5a356cc2832c23dfcf92cdb0ab847f37959c618dc8eff0a57003c"
    "479bfac8f32b219fe0a83783b409d57fd06b64836c35d4d07a665e483acab364577039d49eefea952bff3a9e"
    "77e783d676957eb1a471aed76a1bd404b97bf7809543f682fa4c8f5c9f5c9277bffaaeba1fc5135048743e5c"
    "2c3a397bccb467f52bb4b63b32a3bc0843825ca128f6cb0d81c3d49e02e4d25e6a67d2371081070b075ca627"
    "c6ac3f3c1a832df24f59861fbefee82260c6b150";

TEST(SealCodec, TheFourPacketsMatchAVectorMadeWithLibsodium)
{
  ASSERT_GE(sodium_init(), 0);
  unsigned char salt[SEAL_SALT], csk[SEAL_PUBLIC], hsk[SEAL_PUBLIC], cpk[SEAL_PUBLIC], hpk[SEAL_PUBLIC];
  for (int i = 0; i < SEAL_SALT; i++)
    salt[i] = (unsigned char)(0xa0 + i);
  for (int i = 0; i < SEAL_PUBLIC; i++) {
    csk[i] = (unsigned char)(1 + i);
    hsk[i] = (unsigned char)(0x41 + i);
  }
  ASSERT_EQ(0, crypto_scalarmult_base(cpk, csk));
  ASSERT_EQ(0, crypto_scalarmult_base(hpk, hsk));
  unsigned char k[SEAL_KEY];
  ASSERT_EQ(0, seal_derive("correct horse battery staple", salt, k));
  EXPECT_EQ(K_HEX, hex(k, SEAL_KEY));

  char p[PACKET_SIZE];
  seal_make_open(p, cpk);
  EXPECT_EQ(std::string("4f70656e01000000") + CPK_HEX, hex(p, 40));
  EXPECT_TRUE(zero_from(p, 40));
  seal_make_lock(p, salt, hpk);
  EXPECT_EQ(std::string("4c6f636b01000000") + hex(salt, SEAL_SALT) + HPK_HEX, hex(p, 56));
  EXPECT_TRUE(zero_from(p, 56));
  seal_make_nope(p, NOPE_WRONG_KEY);
  EXPECT_EQ("4e6f706502", hex(p, 5));
  EXPECT_TRUE(zero_from(p, 5));

  // Both ends make the same 64 bytes, each from its own secret.
  unsigned char ck[2 * SEAL_KEY], hk[2 * SEAL_KEY];
  ASSERT_EQ(0, seal_conn_keys(k, csk, hpk, cpk, hpk, ck));
  ASSERT_EQ(0, seal_conn_keys(k, hsk, cpk, cpk, hpk, hk));
  EXPECT_EQ(KEYS_HEX, hex(ck, sizeof ck));
  EXPECT_EQ(KEYS_HEX, hex(hk, sizeof hk));
  unsigned char zero[SEAL_PUBLIC] = {0};
  EXPECT_EQ(-1, seal_conn_keys(k, hsk, zero, cpk, zero, hk)) << "an all-zero shared secret";

  char inner[PACKET_SIZE] = "Mesg\003hello, sealed world";
  seal_packet(p, inner, 0, ck);
  EXPECT_EQ(SEAL_HEX, hex(p, SEAL_END));
  EXPECT_TRUE(zero_from(p, SEAL_END));
  seal_packet(p, inner, 1, ck + SEAL_KEY);
  EXPECT_EQ(SEAL1_HEX, hex(p, SEAL_END));
  char opened[PACKET_SIZE];
  ASSERT_EQ(0, seal_unseal(opened, p, PACKET_SIZE, 1, ck + SEAL_KEY));
  EXPECT_EQ(0, memcmp(opened, inner, PACKET_SIZE));
  EXPECT_EQ(-1, seal_unseal(opened, p, PACKET_SIZE, 1, ck)) << "the other direction's key";
}

}  // namespace
