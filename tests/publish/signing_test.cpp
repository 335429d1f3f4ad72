// The tool's keys and signatures (publish/signing.h): a key file only its owner reads
// and never overwritten, a signed list that clients verify with the printed key and
// with no other.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "publish/signing.h"
#include "support/scratch.h"

namespace {

std::string KeyText(const std::string& publicKeyLine) {
  EXPECT_EQ(publicKeyLine.rfind("PUBLICKEY=", 0), 0u) << publicKeyLine;
  return publicKeyLine.substr(std::strlen("PUBLICKEY="));
}

TEST(Signing, KeyFilesAreTheOwnersAndNeverReplaced) {
  zdtest::Scratch dir;
  const std::string path = dir.Path("publisher.key");
  const mode_t previous = ::umask(0);  // whatever the umask, the file is 0600
  std::string line, error;
  const bool made = publish::GenerateSigningKey(path, &line, &error);
  ::umask(previous);
  ASSERT_TRUE(made) << error;
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  ListPublicKeys keys;
  EXPECT_TRUE(AddPublicKeys(KeyText(line).c_str(), &keys));
  std::string again;
  ASSERT_TRUE(publish::PublicKeyLineOf(path, &again, &error)) << error;
  EXPECT_EQ(again, line);

  const std::string before = dir.Read("publisher.key");
  std::string other;
  error.clear();
  EXPECT_FALSE(publish::GenerateSigningKey(path, &other, &error));
  EXPECT_NE(error.find("already exists"), std::string::npos) << error;
  EXPECT_EQ(dir.Read("publisher.key"), before);
  // Nor through a link that points to where a key would go.
  ASSERT_EQ(::symlink(dir.Path("elsewhere.key").c_str(), dir.Path("link.key").c_str()), 0);
  EXPECT_FALSE(publish::GenerateSigningKey(dir.Path("link.key"), &other, &error));
  EXPECT_FALSE(dir.Exists("elsewhere.key"));
  // A file that holds no key is named as such.
  dir.Write("not.key", "hello\n");
  EXPECT_FALSE(publish::PublicKeyLineOf(dir.Path("not.key"), &other, &error));
}

TEST(Signing, ASignedListVerifiesWithItsKeyAlone) {
  zdtest::Scratch dir;
  std::string lineA, lineB, error;
  ASSERT_TRUE(publish::GenerateSigningKey(dir.Path("a.key"), &lineA, &error)) << error;
  ASSERT_TRUE(publish::GenerateSigningKey(dir.Path("b.key"), &lineB, &error)) << error;

  FileHash stored;
  ASSERT_TRUE(publish::HashStoredFile(dir.Write("Map01.dat", "abc"), &stored, &error)) << error;
  EXPECT_EQ(stored.size, 3);
  uint8_t abc[plat::kSha256Size];
  ASSERT_TRUE(plat::Sha256("abc", 3, abc));
  EXPECT_EQ(std::memcmp(stored.sha256, abc, sizeof abc), 0);

  SignedListHeader header;
  header.sequence = 42;
  std::string list = "# a comment\r\n" + publish::SignedHeaderLine(header, &error) +
                     "C 2002-06-01 14:30 3 Data\\Map01.dat Data/Map01.dat.x\r\n" +
                     publish::FileHashLine(stored, "Data/Map01.dat.x", &error);
  ASSERT_TRUE(error.empty()) << error;
  const std::string body = list;
  ASSERT_TRUE(publish::AppendSignature(dir.Path("a.key"), &list, &error)) << error;
  EXPECT_EQ(list.compare(0, body.size(), body), 0) << "the body is signed as it is";

  const auto judge = [&list](const std::string& keyText) {
    ListPublicKeys keys;
    EXPECT_TRUE(AddPublicKeys(keyText.c_str(), &keys));
    SignedList signedList;
    const ListSignatureFault read = signedList.Read(list.data(), list.size());
    return read == ListSignatureFault::kNone ? signedList.Verify(keys) : read;
  };
  EXPECT_EQ(judge(KeyText(lineA)), ListSignatureFault::kNone);
  EXPECT_EQ(judge(KeyText(lineB)), ListSignatureFault::kUnknownKey);
  EXPECT_EQ(judge(KeyText(lineB) + "," + KeyText(lineA)), ListSignatureFault::kNone);

  // A body the clients could not take as signed is refused and left as it was.
  for (const std::string& bad : {std::string("C 2002-06-01 14:30 3 Data\\Map01.dat Data/Map01.dat.x\r\n"),
                                 body.substr(0, body.size() - 2)}) {
    std::string copy = bad;
    error.clear();
    EXPECT_FALSE(publish::AppendSignature(dir.Path("a.key"), &copy, &error));
    EXPECT_EQ(copy, bad);
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
