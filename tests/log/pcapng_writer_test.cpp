#include "log/pcapng_writer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>


#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace tapline::log {
namespace {

namespace fs = std::filesystem;

class TempFile {
 public:
  TempFile() {
    std::string pattern = (fs::temp_directory_path() / "tapline-pcapng-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) dir_ = pattern;
  }
  ~TempFile() {
    std::error_code ignored;
    if (!dir_.empty()) fs::remove_all(dir_, ignored);
  }
  std::string Path() const { return (dir_ / "capture.pcapng").string(); }
  std::string Read() const {
    std::ifstream in(Path(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

 private:
  fs::path dir_;
};

std::uint32_t U32(const std::string& s, std::size_t at) {
  std::uint32_t v = 0;
  std::memcpy(&v, s.data() + at, 4);
  return v;
}

std::uint16_t U16(const std::string& s, std::size_t at) {
  std::uint16_t v = 0;
  std::memcpy(&v, s.data() + at, 2);
  return v;
}

constexpr std::size_t kShbLength = 24 + 4 + 8 + 4 + 4;  // with "Tapline" as the application
constexpr std::size_t kIdbLength = 16 + 8 + 4 + 4;      // with the time resolution

TEST(PcapngWriterTest, NewFileIsReadableByItsOwnerAloneAndAnExistingOneKeepsItsMode) {
  TempFile file;
  const mode_t mask = ::umask(022);  // the usual mask, which alone would leave the file readable by all
  PcapngWriter writer;
  const int created = writer.Create(file.Path());
  writer.Close();
  ::umask(mask);
  ASSERT_EQ(created, 0);
  EXPECT_EQ(fs::status(file.Path()).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  // A file the user made readable on purpose stays so, and is emptied and written as before.
  fs::permissions(file.Path(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  ASSERT_EQ(writer.Create(file.Path()), 0);
  ASSERT_TRUE(writer.Sync());
  writer.Close();
  EXPECT_EQ(fs::status(file.Path()).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(file.Read().size(), kShbLength + kIdbLength);
}

TEST(PcapngWriterTest, HeaderBlocksFollowTheLayout) {
  TempFile file;
  PcapngWriter writer;
  ASSERT_EQ(writer.Create(file.Path()), 0);
  const std::string s = file.Read();  // written at once, without a Flush
  ASSERT_EQ(s.size(), kShbLength + kIdbLength);

  EXPECT_EQ(U32(s, 0), 0x0A0D0D0Au);
  EXPECT_EQ(U32(s, 4), kShbLength);
  EXPECT_EQ(U32(s, 8), 0x1A2B3C4Du);
  EXPECT_EQ(U16(s, 12), 1);  // version 1.0
  EXPECT_EQ(U16(s, 14), 0);
  EXPECT_EQ(U32(s, 16), 0xFFFFFFFFu);  // section length not given
  EXPECT_EQ(U32(s, 20), 0xFFFFFFFFu);
  EXPECT_EQ(U16(s, 24), 4);  // the application's name
  EXPECT_EQ(U16(s, 26), 7);
  EXPECT_EQ(s.substr(28, 8), std::string("Tapline\0", 8));
  EXPECT_EQ(U32(s, 36), 0u);  // end of options
  EXPECT_EQ(U32(s, kShbLength - 4), kShbLength);

  const std::size_t idb = kShbLength;
  EXPECT_EQ(U32(s, idb), 1u);
  EXPECT_EQ(U32(s, idb + 4), kIdbLength);
  EXPECT_EQ(U16(s, idb + 8), 101);  // raw IP
  EXPECT_EQ(U16(s, idb + 10), 0);
  EXPECT_EQ(U32(s, idb + 12), 0u);  // no snapshot limit
  EXPECT_EQ(U16(s, idb + 16), 9);   // time resolution: 10^-6
  EXPECT_EQ(U16(s, idb + 18), 1);
  EXPECT_EQ(s[idb + 20], 6);
  EXPECT_EQ(s.substr(idb + 21, 3), std::string(3, '\0'));
  EXPECT_EQ(U32(s, idb + 24), 0u);
  EXPECT_EQ(U32(s, idb + kIdbLength - 4), kIdbLength);
}

TEST(PcapngWriterTest, PacketDataAndCommentArePaddedToWords) {
  TempFile file;
  PcapngWriter writer;
  ASSERT_EQ(writer.Create(file.Path()), 0);
  std::memcpy(writer.AddPacket(0x0000000123456789ull, 5, "abc"), "\x45\x01\x02\x03\x04", 5);
  std::memcpy(writer.AddPacket(7, 4), "wxyz", 4);
  ASSERT_TRUE(writer.Sync());
  const std::string s = file.Read();

  const std::size_t a = kShbLength + kIdbLength;
  const std::size_t aLength = 28 + 8 + 4 + 4 + 4 + 4;  // data 5+3, comment 3+1, end of options
  ASSERT_EQ(s.size(), a + aLength + 36);
  EXPECT_EQ(U32(s, a), 6u);
  EXPECT_EQ(U32(s, a + 4), aLength);
  EXPECT_EQ(U32(s, a + 8), 0u);  // interface 0
  EXPECT_EQ(U32(s, a + 12), 0x1u);
  EXPECT_EQ(U32(s, a + 16), 0x23456789u);
  EXPECT_EQ(U32(s, a + 20), 5u);
  EXPECT_EQ(U32(s, a + 24), 5u);
  EXPECT_EQ(s.substr(a + 28, 8), std::string("\x45\x01\x02\x03\x04\0\0\0", 8));
  EXPECT_EQ(U16(s, a + 36), 1);  // comment
  EXPECT_EQ(U16(s, a + 38), 3);
  EXPECT_EQ(s.substr(a + 40, 4), std::string("abc\0", 4));
  EXPECT_EQ(U32(s, a + 44), 0u);
  EXPECT_EQ(U32(s, a + 48), aLength);

  // Without a comment there are no options at all.
  const std::size_t b = a + aLength;
  EXPECT_EQ(U32(s, b + 4), 36u);
  EXPECT_EQ(U32(s, b + 16), 7u);
  EXPECT_EQ(s.substr(b + 28, 4), "wxyz");
  EXPECT_EQ(U32(s, b + 28 + 4), 36u);
}

TEST(PcapngWriterTest, PacketsReachTheFileOnlyOnceFlushed) {
  TempFile file;
  PcapngWriter writer;
  ASSERT_EQ(writer.Create(file.Path()), 0);
  std::memset(writer.AddPacket(1, 40), 0, 40);
  EXPECT_EQ(file.Read().size(), kShbLength + kIdbLength);
  EXPECT_EQ(writer.Pending().size(), 72u);
  ASSERT_TRUE(writer.Sync());
  EXPECT_EQ(file.Read().size(), kShbLength + kIdbLength + 72);
  EXPECT_TRUE(writer.Pending().empty());
}

}  // namespace
}  // namespace tapline::log
