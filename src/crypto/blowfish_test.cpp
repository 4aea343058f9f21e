#include "crypto/blowfish.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace kestrin {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes fromHex(const std::string& hex) {
  Bytes bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

// A published block (each half most significant byte first) as it stands in
// our buffers: each 4-byte half reversed.
Bytes swapHalves(Bytes block) {
  std::swap(block[0], block[3]);
  std::swap(block[1], block[2]);
  std::swap(block[4], block[7]);
  std::swap(block[5], block[6]);
  return block;
}

BlowfishKey scheduleFor(const Bytes& key) {
  BlowfishKey schedule;
  EXPECT_TRUE(blowfishSetKey(schedule, key.data(), static_cast<int>(key.size())));
  return schedule;
}

// Eric Young's published table: key, clear text and cipher text.
const char* const kEcbVectors[] = {
    "0000000000000000 0000000000000000 4EF997456198DD78", "FFFFFFFFFFFFFFFF FFFFFFFFFFFFFFFF 51866FD5B85ECB8A",
    "3000000000000000 1000000000000001 7D856F9A613063F2", "1111111111111111 1111111111111111 2466DD878B963C9D",
    "0123456789ABCDEF 1111111111111111 61F9C3802281B096", "1111111111111111 0123456789ABCDEF 7D0CC630AFDA1EC7",
    "FEDCBA9876543210 0123456789ABCDEF 0ACEAB0FC6A0A28D", "7CA110454A1A6E57 01A1D6D039776742 59C68245EB05282B",
    "0131D9619DC1376E 5CD54CA83DEF57DA B1B8CC0B250F09A0", "07A1133E4A0B2686 0248D43806F67172 1730E5778BEA1DA4",
    "3849674C2602319E 51454B582DDF440A A25E7856CF2651EB", "04B915BA43FEB5B6 42FD443059577FA2 353882B109CE8F1A",
    "0113B970FD34F2CE 059B5E0851CF143A 48F4D0884C379918", "0170F175468FB5E6 0756D8E0774761D2 432193B78951FC98",
    "43297FAD38E373FE 762514B829BF486A 13F04154D69D1AE5", "07A7137045DA2A16 3BDD119049372802 2EEDDA93FFD39C79",
    "04689104C2FD3B2F 26955F6835AF609A D887E0393C2DA6E3", "37D06BB516CB7546 164D5E404F275232 5F99D04F5B163969",
    "1F08260D1AC2465E 6B056E18759F5CCA 4A057A3B24D3977B", "584023641ABA6176 004BD6EF09176062 452031C1E4FADA8E",
    "025816164629B007 480D39006EE762F2 7555AE39F59B87BD", "49793EBC79B3258F 437540C8698F3CFA 53C55F9CB49FC019",
    "4FB05E1515AB73A7 072D43A077075292 7A8E7BFA937E89A3", "49E95D6D4CA229BF 02FE55778117F12A CF9C5D7A4986ADB5",
    "018310DC409B26D6 1D9D5C5018F728C2 D1ABB290658BC778", "1C587F1C13924FEF 305532286D6F295A 55CB3774D13EF201",
    "0101010101010101 0123456789ABCDEF FA34EC4847B268B2", "1F1F1F1F0E0E0E0E 0123456789ABCDEF A790795108EA3CAE",
    "E0FEE0FEF1FEF1FE 0123456789ABCDEF C39E072D9FAC631D", "0000000000000000 FFFFFFFFFFFFFFFF 014933E0CDAFF6E4",
    "FFFFFFFFFFFFFFFF 0000000000000000 F21E9A77B71C49BC", "0123456789ABCDEF 0000000000000000 245946885754369A",
    "FEDCBA9876543210 FFFFFFFFFFFFFFFF 6B5C5A9C5D9E0A5A",
};

// The same table's key-length set: the first 1 to 24 bytes of one key, one
// clear text.
const char* const kKeyLengthVectors[] = {
    "F9AD597C49DB005E", "E91D21C1D961A6D6", "E9C2B70A1BC65CF3", "BE1E639408640F05", "B39E44481BDB1E6E",
    "9457AA83B1928C0D", "8BB77032F960629D", "E87A244E2CC85E82", "15750E7A4F4EC577", "122BA70B3AB64AE0",
    "3A833C9AFFC537F6", "9409DA87A90F6BF2", "884F80625060B8B4", "1F85031C19E11968", "79D9373A714CA34F",
    "93142887EE3BE15C", "03429E838CE2D14B", "A4299E27469FF67B", "AFD5AED1C1BC96A8", "10851C0E3858DA9F",
    "E6F51ED79B9DB21F", "64A6E14AFD36B46F", "80C7D7D45A5479AD", "05044B62FA52D080",
};

TEST(BlowfishTest, PublishedVectorsWithTheHalvesByteReversed) {
  for (const std::string vector : kEcbVectors) {
    SCOPED_TRACE(vector);
    const BlowfishKey key = scheduleFor(fromHex(vector.substr(0, 16)));
    const Bytes clear = swapHalves(fromHex(vector.substr(17, 16)));
    const Bytes cipher = swapHalves(fromHex(vector.substr(34, 16)));
    std::uint8_t out[8];
    EXPECT_EQ(blowfishEncipher(key, out, clear.data(), 8), 8u);
    EXPECT_EQ(Bytes(out, out + 8), cipher);
    EXPECT_EQ(blowfishDecipher(key, out, cipher.data(), 8), 8u);
    EXPECT_EQ(Bytes(out, out + 8), clear);
  }
  const Bytes longKey = fromHex("F0E1D2C3B4A5968778695A4B3C2D1E0F0011223344556677");
  const Bytes clear = swapHalves(fromHex("FEDCBA9876543210"));
  for (int length = 1; length <= 24; ++length) {
    SCOPED_TRACE(length);
    const BlowfishKey key = scheduleFor({longKey.begin(), longKey.begin() + length});
    std::uint8_t out[8];
    blowfishEncipher(key, out, clear.data(), 8);
    EXPECT_EQ(Bytes(out, out + 8), swapHalves(fromHex(kKeyLengthVectors[length - 1])));
  }
  // A buffer is enciphered block by block; a partial block is left alone.
  const BlowfishKey zero = scheduleFor(Bytes(8, 0));
  Bytes buffer(20, 0);
  EXPECT_EQ(blowfishEncipher(zero, buffer.data(), buffer.data(), 20), 16u);
  const Bytes zeroCipher = swapHalves(fromHex("4EF997456198DD78"));
  EXPECT_EQ(Bytes(buffer.begin() + 8, buffer.begin() + 16), zeroCipher);
  EXPECT_EQ(Bytes(buffer.begin() + 16, buffer.end()), Bytes(4, 0));
}

TEST(BlowfishTest, KeyOfNoBytesIsRefusedAndLeavesAZeroSchedule) {
  BlowfishKey key = scheduleFor(fromHex("00112233"));
  const std::uint8_t byte = 1;
  EXPECT_FALSE(blowfishSetKey(key, &byte, 0));
  const BlowfishKey zero = {};
  EXPECT_EQ(std::memcmp(&key, &zero, sizeof key), 0);
  EXPECT_FALSE(blowfishSetKey(key, &byte, -3));
}

}  // namespace
}  // namespace kestrin
