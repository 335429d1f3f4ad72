// Signed lists (patchlist/list_signature.h) on both builds: what verifies, what any
// change breaks, what a client without a key reads, and the keys a settings file names.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "patchlist/list_signature.h"
#include "patchlist/list_trust.h"
#include "patchlist/patch_list.h"
#include "support/scratch.h"
#include "support/signed_list_vector.h"

namespace {

const std::string kSigned = zdtest::kVectorSignedList;
// A key that signed nothing here.
const std::string kOtherKey = "BGLusJ6cmgQ1WHWge/jdHgx9eEGB1wQYcaTggZS3QbJelgDFAsWZB4W8iXcJ0bi/gftxppTqiv8WnLECyFY6GFc=";

ListPublicKeys Keys(const std::string& text) {
  ListPublicKeys keys;
  EXPECT_TRUE(AddPublicKeys(text.c_str(), &keys)) << text;
  return keys;
}

// Reads and verifies a list with the vector's key.
ListSignatureFault Judge(const std::string& list, const ListPublicKeys& keys = Keys(zdtest::kVectorPublicKey)) {
  SignedList signedList;
  const ListSignatureFault read = signedList.Read(list.data(), list.size());
  return read == ListSignatureFault::kNone ? signedList.Verify(keys) : read;
}

// Everything before the signature line, and that line.
std::string Body() { return kSigned.substr(0, kSigned.rfind("#zd-signature ")); }
std::string SignatureLine() { return kSigned.substr(kSigned.rfind("#zd-signature ")); }

TEST(SignedList, TheSignedListVerifiesInPiecesOfAnySize) {
  for (const size_t piece : {size_t{1}, size_t{3}, size_t{64}, kSigned.size()}) {
    SignedList list;
    for (size_t at = 0; at < kSigned.size(); at += piece) {
      ASSERT_TRUE(list.Feed(kSigned.data() + at, std::min(piece, kSigned.size() - at)));
    }
    ASSERT_EQ(list.Finish(), ListSignatureFault::kNone) << "pieces of " << piece;
    EXPECT_EQ(list.Verify(Keys(zdtest::kVectorPublicKey)), ListSignatureFault::kNone);
    EXPECT_EQ(list.header().sequence, 7u);
    ASSERT_TRUE(list.header().expires);
    EXPECT_EQ(list.hashCount(), 4u);
    for (const zdtest::VectorFile& file : zdtest::kVectorFiles) {
      FileHash found;
      ASSERT_TRUE(list.FindFileHash(file.remote, std::strlen(file.remote), &found)) << file.remote;
      uint8_t expected[plat::kSha256Size];
      ASSERT_TRUE(plat::Sha256(file.content, file.size, expected));
      EXPECT_EQ(std::memcmp(found.sha256, expected, sizeof expected), 0) << file.remote;
      EXPECT_EQ(found.size, file.size);
    }
    FileHash none;
    EXPECT_FALSE(list.FindFileHash("Data/Old.dat", 12, &none)) << "a deletion downloads nothing";
    EXPECT_FALSE(list.FindFileHash("Data/Map01.dat.1f0c5b2a9e4d776", 30, &none)) << "names compare whole";
  }
  // The expiry is 2031-01-01 00:00:00 UTC, in file time.
  SignedList list;
  ASSERT_EQ(list.Read(kSigned.data(), kSigned.size()), ListSignatureFault::kNone);
  const plat::FileTime expiry = 135694656000000000ULL;
  EXPECT_EQ(list.header().expiresAt, expiry);
  EXPECT_FALSE(ListHasExpired(list.header(), expiry - 10000000));
  EXPECT_TRUE(ListHasExpired(list.header(), expiry));
}

TEST(SignedList, ChangingAnyByteFailsVerification) {
  for (size_t i = 0; i < kSigned.size(); ++i) {
    std::string changed = kSigned;
    changed[i] = static_cast<char>(changed[i] ^ (1 << (i % 8)));
    EXPECT_NE(Judge(changed), ListSignatureFault::kNone) << "byte " << i << " of " << kSigned.size();
  }
}

TEST(SignedList, OtherKeysUnsignedAndTruncatedListsFail) {
  // A key set without the signer's key, and one whose key only carries the signer's id.
  const std::string& other = kOtherKey;
  EXPECT_EQ(Judge(kSigned, Keys(other)), ListSignatureFault::kUnknownKey);
  EXPECT_EQ(Judge(kSigned, ListPublicKeys()), ListSignatureFault::kUnknownKey);
  ListPublicKeys impostor = Keys(other);
  std::memcpy(impostor.keys[0].id, Keys(zdtest::kVectorPublicKey).keys[0].id, kKeyIdSize);
  EXPECT_EQ(Judge(kSigned, impostor), ListSignatureFault::kBadSignature);
  EXPECT_EQ(Judge(kSigned, Keys(other + "," + zdtest::kVectorPublicKey)), ListSignatureFault::kNone);

  // Without the signature line the list is unsigned; its hashes can still be read.
  SignedList unsigned_;
  EXPECT_EQ(unsigned_.Read(Body().data(), Body().size()), ListSignatureFault::kUnsigned);
  EXPECT_EQ(unsigned_.Verify(Keys(zdtest::kVectorPublicKey)), ListSignatureFault::kUnsigned);
  FileHash found;
  EXPECT_TRUE(unsigned_.FindFileHash("/notice/Notice.txt", 18, &found));
  const std::string plain = "C 2002-06-01 14:30 11 Data\\Map01.dat Data/Map01.dat\r\n";
  SignedList none;
  EXPECT_EQ(none.Read(plain.data(), plain.size()), ListSignatureFault::kUnsigned);
  EXPECT_FALSE(none.hasHeader());

  // Cut anywhere in the signature line: never signed.
  for (size_t cut = Body().size(); cut < kSigned.size(); ++cut) {
    EXPECT_NE(Judge(kSigned.substr(0, cut)), ListSignatureFault::kNone) << "cut at " << cut;
  }
}

TEST(SignedList, DirectiveLinesOutOfFormAreMalformed) {
  const std::string header = "#zd-signed format=1 sequence=7 expires=never\r\n";
  const std::string hash =
      "#zd-sha256 5891b5b522d5df086d0ff0b110fbd9d21bb4fc7163af34d08286a2e846f6be03 6 /notice/Notice.txt\r\n";
  const std::string entry = "A 2002-06-02 09:00 6 Notice.txt /notice/Notice.txt\r\n";
  const std::string signature = SignatureLine();
  // Each list is judged up to its (unverified) signature line: its form alone fails it.
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"oversized header", "#zd-signed format=1 sequence=7 expires=" + std::string(5000, '9') + "\r\n" + entry},
      {"sequence of 19 digits", "#zd-signed format=1 sequence=1000000000000000000 expires=never\r\n"},
      {"sequence 0", "#zd-signed format=1 sequence=0 expires=never\r\n"},
      {"leading zero", "#zd-signed format=1 sequence=07 expires=never\r\n"},
      {"unknown format", "#zd-signed format=2 sequence=7 expires=never\r\n"},
      {"no expiry", "#zd-signed format=1 sequence=7\r\n"},
      {"a field more", "#zd-signed format=1 sequence=7 expires=never key=x\r\n"},
      {"two blanks", "#zd-signed format=1  sequence=7 expires=never\r\n"},
      {"30 February", "#zd-signed format=1 sequence=7 expires=2031-02-30T00:00:00Z\r\n"},
      {"local expiry", "#zd-signed format=1 sequence=7 expires=2031-01-01T00:00:00\r\n"},
      {"LF alone", "#zd-signed format=1 sequence=7 expires=never\n"},
      {"second header", header + header},
      {"hash before header", hash + header},
      {"upper-case hex", header + "#zd-sha256 5891B5b522d5df086d0ff0b110fbd9d21bb4fc7163af34d08286a2e846f6be03 6 x\r\n"},
      {"short hash", header + "#zd-sha256 5891b5 6 x\r\n"},
      {"size with leading zero", header + "#zd-sha256 " + std::string(64, 'a') + " 06 x\r\n"},
      {"size past 2^31-1", header + "#zd-sha256 " + std::string(64, 'a') + " 2147483648 x\r\n"},
      {"blank in a name", header + "#zd-sha256 " + std::string(64, 'a') + " 6 a b\r\n"},
      {"no name", header + "#zd-sha256 " + std::string(64, 'a') + " 6 \r\n"},
      {"name too long", header + "#zd-sha256 " + std::string(64, 'a') + " 6 " + std::string(1024, 'n') + "\r\n"},
      {"a name twice", header + hash + entry + hash},
      {"unknown directive", header + "#zd-note hello\r\n"},
  };
  for (const auto& [what, block] : cases) {
    SignedList list;
    const std::string text = "# comment\r\n" + block + signature;
    EXPECT_EQ(list.Read(text.data(), text.size()), ListSignatureFault::kMalformed) << what;
    FileHash found;
    EXPECT_FALSE(list.FindFileHash("/notice/Notice.txt", 18, &found)) << what << ": nothing of it is used";
  }
  // The signature line strictly as written: nothing after it, no other spelling of it.
  const std::string sigText = signature.substr(31, 88);
  const std::vector<std::pair<const char*, std::string>> signatures = {
      {"a line after it", kSigned + "\r\n"},
      {"no CR", Body() + signature.substr(0, signature.size() - 2) + "\n"},
      {"upper-case key id", Body() + "#zd-signature DA09FC221079E2D4 " + sigText + "\r\n"},
      {"base64 without padding", Body() + signature.substr(0, 31) + sigText.substr(0, 86) + "\r\n"},
      {"unused bits set", Body() + signature.substr(0, 31) + sigText.substr(0, 85) + "h==\r\n"},
      {"signature before header", signature + header},
  };
  for (const auto& [what, text] : signatures) {
    SignedList list;
    EXPECT_EQ(list.Read(text.data(), text.size()), ListSignatureFault::kMalformed) << what;
  }
  // A directive of 4095 bytes with its CR LF still fits a client's line buffer.
  const std::string longest = header + "#zd-sha256 " + std::string(64, 'a') + " 6 " + std::string(1023, 'n') + "\r\n";
  SignedList fits;
  EXPECT_EQ(fits.Read(longest.data(), longest.size()), ListSignatureFault::kUnsigned);
  const std::string tooLong = header + "#zd-note " + std::string(kMaxDirectiveLine - 10, 'x') + "\r\n";
  SignedList over;
  EXPECT_EQ(over.Read(tooLong.data(), tooLong.size()), ListSignatureFault::kMalformed);
}

// A client without a key reads the same entries as from the list without its block.
TEST(SignedList, TheUnsignedParseIgnoresTheBlock) {
  zdtest::Scratch dir;
  std::string stripped;
  for (size_t at = 0; at < kSigned.size();) {
    const size_t end = kSigned.find('\n', at) + 1;
    const std::string line = kSigned.substr(at, end - at);
    if (line[0] != '#') stripped += line;
    at = end;
  }
  const auto parse = [&dir](const std::string& name, const std::string& text) {
    EntryList list;
    int32_t bytes = 0, files = 0;
    std::vector<std::string> out;
    EXPECT_TRUE(ParsePatchListFile(dir.Write(name, text).c_str(), dir.Path("game").c_str(), "/patch/", list, &bytes,
                                   &files));
    for (EntryNode* node = list.head; node != nullptr; node = node->next) {
      const PatchEntry& e = *static_cast<PatchEntry*>(node->value);
      out.push_back(std::string(1, e.kind) + " " + e.date + " " + e.time + " " + std::to_string(e.size) + " " +
                    std::to_string(e.unpackedSize) + " " + e.localPath + " " + e.remotePath + " " + e.listedName +
                    " " + e.stagingPath);
    }
    out.push_back(std::to_string(bytes) + " bytes, " + std::to_string(files) + " files");
    ReleaseQueue(list);
    return out;
  };
  const std::vector<std::string> plain = parse("plain.lst", stripped);
  EXPECT_EQ(plain.size(), 6u) << "every line of the vector is queued";
  EXPECT_EQ(parse("signed.lst", kSigned), plain);
}

TEST(PublicKeys, SettingsTextParsesAndBadKeysAreRefused) {
  const std::string key = zdtest::kVectorPublicKey;
  const std::string& other = kOtherKey;
  ListPublicKeys keys;
  ASSERT_TRUE(AddPublicKeys(("  " + key + " ,\t" + other + " ").c_str(), &keys));
  ASSERT_EQ(keys.count, 2u);
  char text[kPublicKeyTextLength + 1];
  ASSERT_TRUE(FormatPublicKey(keys.keys[0].point, text, sizeof text));
  EXPECT_EQ(text, key);
  ASSERT_TRUE(AddPublicKeys(key.c_str(), &keys));
  EXPECT_EQ(keys.count, 2u) << "a key already there is not added twice";
  ASSERT_TRUE(AddPublicKeys(" ", &keys));
  EXPECT_EQ(keys.count, 2u);
  // Two keys fit an INI value of 255 characters.
  EXPECT_LT(key.size() + 1 + other.size(), 256u);

  // The last character before '=' with one of its two unused bits set.
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string last = key;
  last[86] = alphabet[alphabet.find(key[86]) | 1];
  const std::vector<std::string> bad = {
      key.substr(1), key + "A", key.substr(0, 87) + "A", "C" + key.substr(1) /* 0x08: no point */,
      key + ",",     "," + key, key + ",," + other,    key + " " + other,   key.substr(0, 40) + "-" + key.substr(41),
      last,
  };
  for (const std::string& text : bad) {
    ListPublicKeys before = keys;
    EXPECT_FALSE(AddPublicKeys(text.c_str(), &before)) << text;
    EXPECT_EQ(before.count, keys.count) << "unchanged after " << text;
  }
  // No more than kMaxPublicKeys.
  ListPublicKeys full;
  full.count = kMaxPublicKeys - 1;
  EXPECT_FALSE(AddPublicKeys((key + "," + other).c_str(), &full));
  EXPECT_EQ(full.count, kMaxPublicKeys - 1);
}

// The installation's keys: PUBLICKEY= adds to the built-in ones; a value that is not a
// list of keys, or longer than a setting holds (cut, it could name other keys), is refused.
TEST(InstallationTrust, TheSettingsKeysAndTheAcceptedSequence) {
  const zdtest::Scratch dir;
  const std::string key = zdtest::kVectorPublicKey;
  const auto keysOf = [&](const std::string& value, ListPublicKeys* keys) {
    const std::string ini = dir.Write("VornPatch.ini", "[PATCH_FTP]\r\nSERVERIP=x\r\n" + value);
    return ReadInstallationKeys(ini.c_str(), keys);
  };
  const size_t builtIn = Keys(kBuiltInPublicKeys).count;
  ListPublicKeys keys;
  ASSERT_TRUE(keysOf("", &keys));
  EXPECT_EQ(keys.count, builtIn);
  ASSERT_TRUE(keysOf("PUBLICKEY=" + key + "," + kOtherKey + "\r\n", &keys));
  EXPECT_EQ(keys.count, builtIn + 2);
  // 255 characters hold two keys and blanks; a third item past them is not cut off.
  const std::string padded = key + "," + kOtherKey + std::string(255 - 177, ' ');
  EXPECT_TRUE(keysOf("PUBLICKEY=" + padded + "\r\n", &keys));
  EXPECT_FALSE(keysOf("PUBLICKEY=" + padded + "," + key + "\r\n", &keys));
  EXPECT_FALSE(keysOf("PUBLICKEY=" + key.substr(2) + "\r\n", &keys));

  // The highest accepted sequence: none is 0; written whole, read back; not a number is 0.
  const std::string root = dir.Path("");
  const std::string install = root.substr(0, root.size() - 1);
  EXPECT_EQ(ReadAcceptedSequence(install.c_str()), 0u);
  ASSERT_TRUE(WriteAcceptedSequence(install.c_str(), kMaxListSequence));
  EXPECT_EQ(ReadAcceptedSequence(install.c_str()), kMaxListSequence);
  EXPECT_EQ(dir.NamesContaining("VornPatch.seq"), 1);
  dir.Write("VornPatch.seq", "12x\r\n");
  EXPECT_EQ(ReadAcceptedSequence(install.c_str()), 0u);
}

TEST(SignedList, HeaderLinesRoundTrip) {
  SignedListHeader header;
  header.sequence = kMaxListSequence;
  char line[kMaxDirectiveLine + 1];
  ASSERT_GT(FormatSignedHeaderLine(header, line, sizeof line), 0u);
  EXPECT_STREQ(line, "#zd-signed format=1 sequence=999999999999999999 expires=never\r\n");
  header.expires = true;
  header.expiresAt = 135694656000000000ULL + 86399ULL * 10000000ULL;
  ASSERT_GT(FormatSignedHeaderLine(header, line, sizeof line), 0u);
  EXPECT_STREQ(line, "#zd-signed format=1 sequence=999999999999999999 expires=2031-01-01T23:59:59Z\r\n");
  SignedList list;
  ASSERT_EQ(list.Read(line, std::strlen(line)), ListSignatureFault::kUnsigned);
  EXPECT_EQ(list.header().expiresAt, header.expiresAt);
  EXPECT_EQ(list.header().sequence, kMaxListSequence);
  header.sequence = 0;
  EXPECT_EQ(FormatSignedHeaderLine(header, line, sizeof line), 0u);
  header.sequence = 1;
  header.expiresAt += 1;  // not a whole second
  EXPECT_EQ(FormatSignedHeaderLine(header, line, sizeof line), 0u);
}

}  // namespace
