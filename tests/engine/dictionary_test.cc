// Dictionary training: the engine's own refusals of a bad sample layout, and real trainings whose
// dictionaries a zstd_dict store accepts.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#define ZDICT_STATIC_LINKING_ONLY
#include <zdict.h>
#include <zstd.h>

#include "store.h"
#include "test_support.h"

namespace tavrill {
namespace {

using testing::Opened;
using testing::TempDir;
using testing::TestExecutor;

constexpr uint64_t kMaxU64 = std::numeric_limits<uint64_t>::max();

// Records back to back with their sizes, as the module hands them over.
struct Corpus {
  std::vector<uint8_t> bytes;
  std::vector<uint64_t> sizes;
};

// JSON-like records that share keys and vocabulary, so a dictionary has something to learn.
Corpus json_records(size_t count) {
  static const char* const kNames[] = {"alpha", "bravo", "charlie", "delta", "echo", "foxtrot"};
  static const char* const kKinds[] = {"sensor", "camera", "lidar", "radar"};
  std::mt19937_64 random(20240611);
  Corpus corpus;
  for (size_t i = 0; i < count; ++i) {
    const std::string record = "{\"id\": " + std::to_string(i) + ", \"name\": \"" +
                               kNames[random() % 6] + "\", \"kind\": \"" + kKinds[random() % 4] +
                               "\", \"reading\": " + std::to_string(random() % 100000) +
                               ", \"tags\": [\"calibrated\", \"zone-" +
                               std::to_string(random() % 16) +
                               "\"], \"ok\": " + (random() % 2 ? "true" : "false") + "}";
    corpus.bytes.insert(corpus.bytes.end(), record.begin(), record.end());
    corpus.sizes.push_back(record.size());
  }
  return corpus;
}

struct Trained {
  int64_t result;
  int32_t code;
  std::vector<uint8_t> out;
};

Trained train(const uint8_t* samples, uint64_t samples_bytes, const uint64_t* sizes, uint64_t count,
              uint64_t target) {
  Trained trained{0, -1, std::vector<uint8_t>(target, 0xAB)};
  trained.result = train_dictionary(samples, samples_bytes, sizes, count, trained.out.data(),
                                    target, &trained.code);
  return trained;
}

Trained train(const Corpus& corpus, uint64_t target) {
  return train(corpus.bytes.data(), corpus.bytes.size(), corpus.sizes.data(), corpus.sizes.size(),
               target);
}

void expect_refused(const Trained& trained) {
  EXPECT_EQ(trained.result, -1);
  EXPECT_EQ(trained.code, ERR_DICT_TRAINING_FAILED);
}

// One inaccessible page: reading it kills the test.
class GuardPage {
 public:
  GuardPage()
      : length_(static_cast<size_t>(sysconf(_SC_PAGESIZE))),
        page_(mmap(nullptr, length_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)) {}
  ~GuardPage() { munmap(page_, length_); }
  GuardPage(const GuardPage&) = delete;
  GuardPage& operator=(const GuardPage&) = delete;
  const uint64_t* as_sizes() const { return static_cast<const uint64_t*>(page_); }

 private:
  size_t length_;
  void* page_;
};

TEST(DictionaryTest, RefusesSampleCountsTheBuilderCannotTake) {
  const uint8_t sample[8] = {};
  expect_refused(train(sample, 0, nullptr, 0, 1024));

  // 2^32 samples fail on the count alone; `sizes` is never read.
  GuardPage guard;
  ASSERT_NE(guard.as_sizes(), MAP_FAILED);
  expect_refused(train(sample, 8, guard.as_sizes(), uint64_t{1} << 32, 1024));
  expect_refused(train(sample, 8, nullptr, kMaxU64, 1024));
}

TEST(DictionaryTest, RefusesSizesThatDoNotAddUpToTheSampleBytes) {
  const Corpus corpus = json_records(2000);
  const uint64_t total = corpus.bytes.size();
  const uint64_t* sizes = corpus.sizes.data();
  const uint64_t count = corpus.sizes.size();
  expect_refused(train(corpus.bytes.data(), total - 1, sizes, count, 4096));
  expect_refused(train(corpus.bytes.data(), total + 1, sizes, count, 4096));

  // Sums past 2^64, including ones that wrap back onto exactly the sample byte count. The last
  // would look like eight samples over 600 bytes to the builder, which would then read far
  // outside them.
  const uint8_t bytes[600] = {};
  const uint64_t wraps_to_one[] = {kMaxU64, 2};
  expect_refused(train(bytes, 1, wraps_to_one, 2, 1024));
  const uint64_t wraps_to_zero[] = {kMaxU64, 1};
  expect_refused(train(bytes, 0, wraps_to_zero, 2, 1024));
  const uint64_t half = uint64_t{1} << 63;
  const uint64_t wraps_to_600[] = {half, half, 100, 100, 100, 100, 100, 100};
  expect_refused(train(bytes, 600, wraps_to_600, 8, 1024));
}

TEST(DictionaryTest, SmallestTargetIs256Bytes) {
  const Corpus corpus = json_records(3000);
  expect_refused(train(corpus, 255));

  const Trained trained = train(corpus, 256);
  ASSERT_GT(trained.result, 0) << trained.code;
  EXPECT_LE(trained.result, 256);
  EXPECT_EQ(trained.code, -1);
}

TEST(DictionaryTest, NullCodeIsSkipped) {
  const uint8_t sample[8] = {};
  const uint64_t sizes[] = {8};
  uint8_t out[256];
  EXPECT_EQ(train_dictionary(sample, 8, sizes, 0, out, sizeof(out), nullptr), -1);
  EXPECT_EQ(train_dictionary(sample, 7, sizes, 1, out, sizeof(out), nullptr), -1);
  // The builder's own refusal (one sample is too few to split) is reported the same way.
  EXPECT_EQ(train_dictionary(sample, 8, sizes, 1, out, sizeof(out), nullptr), -1);
  EXPECT_EQ(train(sample, 8, sizes, 1, 256).code, ERR_DICT_TRAINING_FAILED);
}

TEST(DictionaryTest, TrainsADeterministicZstdDictionaryWithinTarget) {
  const Corpus corpus = json_records(4000);
  const uint64_t target = 8192;
  const Trained trained = train(corpus, target);
  ASSERT_GT(trained.result, 0) << trained.code;
  ASSERT_LE(static_cast<uint64_t>(trained.result), target);
  EXPECT_EQ(trained.code, -1);  // untouched on success

  const size_t size = static_cast<size_t>(trained.result);
  uint32_t magic;
  std::memcpy(&magic, trained.out.data(), sizeof(magic));
  EXPECT_EQ(magic, 0xEC30A437u);
  EXPECT_NE(ZDICT_getDictID(trained.out.data(), size), 0u);
  for (size_t i = size; i < target; ++i) ASSERT_EQ(trained.out[i], 0xAB) << i;

  const Trained again = train(corpus, target);
  ASSERT_EQ(again.result, trained.result);
  EXPECT_TRUE(std::equal(again.out.begin(), again.out.begin() + size, trained.out.begin()));
}

TEST(DictionaryTest, StoreCreatedWithATrainedDictionaryReopensWithIt) {
  const Corpus corpus = json_records(3000);
  const Trained trained = train(corpus, 4096);
  ASSERT_GT(trained.result, 0) << trained.code;
  const std::vector<uint8_t> dict(trained.out.begin(), trained.out.begin() + trained.result);
  const unsigned dict_id = ZDICT_getDictID(dict.data(), dict.size());

  TempDir dir;
  TestExecutor executor(2);
  Opened created =
      testing::create_store(executor.get(), dir / "store", CODEC_ZSTD_DICT, 2, {'s'}, dict);
  ASSERT_NE(created.handle, nullptr) << created.code;
  // The ID shows zstd parsed the entropy tables rather than taking the bytes as raw content.
  EXPECT_EQ(ZSTD_getDictID_fromCDict(created.handle->cdict), dict_id);
  store_close(created.handle);
  EXPECT_EQ(testing::read_file(dir / "store/dict.qv"), dict);

  Opened opened = testing::open_store(executor.get(), dir / "store");
  ASSERT_NE(opened.handle, nullptr) << opened.code;
  EXPECT_EQ(store_codec(opened.handle), CODEC_ZSTD_DICT);
  EXPECT_EQ(ZSTD_getDictID_fromDDict(opened.handle->ddict), dict_id);
  store_close(opened.handle);
}

}  // namespace
}  // namespace tavrill
