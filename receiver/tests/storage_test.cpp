#include <signal.h>
#include <sys/resource.h>

#include "support.h"

namespace ovr::test {
namespace {

class StorageTest : public ::testing::Test {
 protected:
  fs::path root() const { return dir_.path() / "root"; }
  fs::path PartialDir() const { return root() / ".ovreceiver" / "partial"; }
  std::vector<fs::path> PartialFiles() const {
    std::vector<fs::path> files;
    for (const auto& entry : fs::recursive_directory_iterator(PartialDir()))
      if (entry.is_regular_file()) files.push_back(entry.path());
    return files;
  }
  size_t PartialCount() const { return PartialFiles().size(); }
  std::unique_ptr<Upload> Begin(const std::string& path, uint64_t size,
                                const std::string& user = "alice") {
    std::unique_ptr<Upload> up;
    Status s = storage_.Begin(user, path, size, up);
    EXPECT_TRUE(s.ok()) << s.message;
    return up;
  }
  static uint64_t From(Upload& up, uint64_t from) {
    uint64_t offset = ~0ull;
    EXPECT_TRUE(up.From(from, offset).ok());
    return offset;
  }
  static uint64_t Xxh(const std::string& d) { return XXH64(d.data(), d.size(), 0); }

  ScratchDir dir_;
  EventLog log_{(dir_.path() / "log").string()};
  Storage storage_{root(), log_, false};
  const std::string data_ = RandomBytes(100000);
};

TEST_F(StorageTest, ResumeOffsets) {
  auto up = Begin("a/f.bin", data_.size());
  EXPECT_EQ(up->held(), 0u);
  EXPECT_EQ(From(*up, 500), 0u);  // nothing held: start at 0
  up->Write(data_.data(), 40000);
  up.reset();  // the connection broke

  up = Begin("a/f.bin", data_.size());
  EXPECT_EQ(up->held(), 40000u);
  EXPECT_EQ(From(*up, 90000), 40000u);  // min(from, held)
  up->Write(data_.data() + 40000, 20000);
  up.reset();

  up = Begin("a/f.bin", data_.size());
  EXPECT_EQ(up->held(), 60000u);
  EXPECT_EQ(From(*up, 30000), 30000u);  // held data beyond the offset is dropped
  ASSERT_EQ(PartialCount(), 1u);
  EXPECT_EQ(fs::file_size(PartialFiles()[0]), 30000u);
  up->Write(data_.data() + 30000, data_.size() - 30000);
  EXPECT_EQ(up->due(), 0u);
  ASSERT_TRUE(up->End(Xxh(data_)).ok());  // checksum of the whole file, read back
  up.reset();
  EXPECT_EQ(ReadFile(root() / "a/f.bin"), data_);
  EXPECT_EQ(PartialCount(), 0u);
}

TEST_F(StorageTest, FromZeroRestartsAndAnotherSizeDropsTheHeldData) {
  auto up = Begin("f", data_.size());
  From(*up, 0);
  up->Write("junk", 4);
  up.reset();

  up = Begin("f", data_.size());
  EXPECT_EQ(up->held(), 4u);
  EXPECT_EQ(From(*up, 0), 0u);
  up->Write(data_.data(), data_.size());
  EXPECT_TRUE(up->End(Xxh(data_)).ok());
  up.reset();

  up = Begin("g", 10);
  From(*up, 0);
  up->Write("12345", 5);
  up.reset();
  up = Begin("g", 11);  // same name, new size: the old partial is of no use
  EXPECT_EQ(up->held(), 0u);
  up.reset();
  EXPECT_EQ(PartialCount(), 0u);

  // Partial data belongs to its user: bob does not continue alice's file.
  up = Begin("h", 10);
  From(*up, 0);
  up->Write("12345", 5);
  up.reset();
  EXPECT_EQ(Begin("h", 10, "bob")->held(), 0u);
  EXPECT_EQ(Begin("h", 10, "alice")->held(), 5u);
}

TEST_F(StorageTest, FileAppearsOnlyWhenCompleteAndMismatchDiscards) {
  WriteFile(root() / "doc.txt", "older version");
  auto up = Begin("doc.txt", data_.size());
  From(*up, 0);
  up->Write(data_.data(), data_.size() / 2);
  EXPECT_EQ(ReadFile(root() / "doc.txt"), "older version");  // never a partial in place
  up->Write(data_.data() + data_.size() / 2, data_.size() - data_.size() / 2);
  Status s = up->End(Xxh(data_) ^ 1);
  EXPECT_EQ(s.code, 409);
  up.reset();
  EXPECT_EQ(ReadFile(root() / "doc.txt"), "older version");
  EXPECT_EQ(PartialCount(), 0u);
  EXPECT_EQ(Begin("doc.txt", data_.size())->held(), 0u);

  up = Begin("doc.txt", data_.size());
  From(*up, 0);
  up->Write(data_.data(), data_.size());
  ASSERT_TRUE(up->End(Xxh(data_)).ok());
  up.reset();
  EXPECT_EQ(ReadFile(root() / "doc.txt"), data_);  // the older file replaced
  EXPECT_TRUE(fs::is_empty(root() / ".ovreceiver" / "tmp"));
  EXPECT_EQ(ReadFile(dir_.path() / "log"),
            "FILE\talice\t100000\t" + ovt::ChecksumText(Xxh(data_)) + "\tdoc.txt\n");
}

TEST_F(StorageTest, WriteFailureIsReportedAtEndAndKeepsWhatWasWritten) {
  auto up = Begin("full.bin", data_.size());
  From(*up, 0);
  // A file size limit stands in for a full disk.
  rlimit old_limit;
  ::getrlimit(RLIMIT_FSIZE, &old_limit);
  rlimit limit = old_limit;
  limit.rlim_cur = 30000;
  auto old_handler = ::signal(SIGXFSZ, SIG_IGN);
  ::setrlimit(RLIMIT_FSIZE, &limit);
  up->Write(data_.data(), 20000);
  up->Write(data_.data() + 20000, 20000);  // fails after 10000 bytes
  up->Write(data_.data() + 40000, data_.size() - 40000);  // discarded
  ::setrlimit(RLIMIT_FSIZE, &old_limit);
  ::signal(SIGXFSZ, old_handler);
  EXPECT_EQ(up->due(), 0u);
  Status s = up->End(Xxh(data_));
  EXPECT_EQ(s.code, 500);
  EXPECT_NE(s.message.find("cannot write"), std::string::npos) << s.message;
  up.reset();
  EXPECT_FALSE(fs::exists(root() / "full.bin"));
  EXPECT_EQ(Begin("full.bin", data_.size())->held(), 30000u);  // a later session resumes
}

TEST_F(StorageTest, EmptyFileAndClaims) {
  auto up = Begin("dir/empty", 0);
  From(*up, 0);
  EXPECT_EQ(up->due(), 0u);
  EXPECT_TRUE(up->End(0xef46db3751d8e999ull).ok());
  EXPECT_EQ(fs::file_size(root() / "dir/empty"), 0u);

  // One connection at a time per user and file; other users and files are free.
  auto first = Begin("x", 5);
  std::unique_ptr<Upload> second;
  Status s = storage_.Begin("alice", "x", 7, second);
  EXPECT_TRUE(s.busy);
  EXPECT_EQ(s.code, 500);
  EXPECT_TRUE(storage_.Begin("bob", "x", 5, second).ok());
  first.reset();
  EXPECT_TRUE(storage_.Begin("alice", "x", 5, first).ok());
}

TEST_F(StorageTest, PartialDataIsFoundAgainAfterARestartAndCountsAgainstItsUser) {
  auto up = Begin("r/one", 1000);
  From(*up, 0);
  up->Write(data_.data(), 300);
  up.reset();
  // Earlier versions kept partial files flat, named by a hash of user and name.
  std::string key_text = std::string("alice") + '\0' + "r/legacy";
  XXH128_hash_t key = XXH3_128bits(key_text.data(), key_text.size());
  WriteFile(PartialDir() / (ovt::ChecksumText(key.high64) + ovt::ChecksumText(key.low64) + "-500"),
            data_.substr(0, 200));

  Limits limits;
  limits.partial_bytes_per_user = 2000;
  Storage again(root(), log_, false, limits);
  EXPECT_EQ(again.PartialBytes("alice"), 300u);  // the flat file is nobody's until named
  std::unique_ptr<Upload> one, legacy, big;
  ASSERT_TRUE(again.Begin("alice", "r/one", 1000, one).ok());
  EXPECT_EQ(one->held(), 300u);
  ASSERT_TRUE(again.Begin("alice", "r/legacy", 500, legacy).ok());
  EXPECT_EQ(legacy->held(), 200u);
  EXPECT_EQ(again.PartialBytes("alice"), 1500u);  // files being uploaded count in full
  Status s = again.Begin("alice", "r/big", 600, big);
  EXPECT_EQ(s.code, 500);
  EXPECT_NE(s.message.find("limit"), std::string::npos) << s.message;
  EXPECT_TRUE(again.Begin("bob", "r/big", 600, big).ok());  // the limit is per user
  legacy.reset();
  EXPECT_EQ(again.PartialBytes("alice"), 1200u);  // an abandoned file counts what it holds
}

TEST_F(StorageTest, FoldersAndObstacles) {
  EXPECT_TRUE(storage_.MakeFolder("a/b/c").ok());
  EXPECT_TRUE(storage_.MakeFolder("a/b").ok());  // existing folder: success
  EXPECT_TRUE(fs::is_directory(root() / "a/b/c"));
  WriteFile(root() / "file", "x");
  EXPECT_EQ(storage_.MakeFolder("file/sub").code, 403);
  std::unique_ptr<Upload> up;
  EXPECT_EQ(storage_.Begin("alice", "a/b", 1, up).code, 403);  // a folder has that name
  EXPECT_EQ(storage_.Begin("alice", "file/x", 1, up).code, 403);
}

TEST_F(StorageTest, StillsGetFreshNamesAfterExistingOnes) {
  fs::create_directories(root() / "stills");
  WriteFile(root() / "stills" / "41-old.jpg", "old");
  std::string a, b;
  ASSERT_TRUE(storage_.StoreStill("\xFF\xD8one", "site_demo", a).ok());
  ASSERT_TRUE(storage_.StoreStill("\xFF\xD8two", "site_demo", b).ok());
  EXPECT_EQ(a, "stills/42-site_demo.jpg");
  EXPECT_EQ(b, "stills/43-site_demo.jpg");
  EXPECT_EQ(ReadFile(root() / b), "\xFF\xD8two");
  EXPECT_EQ(ReadFile(root() / "stills" / "41-old.jpg"), "old");
}

}  // namespace
}  // namespace ovr::test
