// Random-corruption fuzzing of everything a reader trusts on disk. Each case builds a small valid
// store with the real engine, damages its files (bit flips, truncations, extensions, fields set to
// plausible but wrong values, stray entries), opens it and runs random dense and ragged gathers.
// Every call must return a defined code, write nothing outside the buffers it was given (each
// destination sits between guard bytes and is sized exactly by the caller's contract), leave
// no descriptor and no allocator block behind, and never hang. Undamaged stores are held to the
// exact results as well. A case is a pure function of its seed; a failing seed is printed with the
// command that replays it.
//
//   store_fuzz --short                  the fixed short run that ctest uses
//   store_fuzz --cases N [--seed S]     cases S, S + 1, ..., S + N - 1
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

#include "engine.h"
#include "format.h"
#include "platform/fault.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#include <sanitizer/common_interface_defs.h>
#define TAVRILL_FUZZ_SANITIZED 1
#endif

namespace tavrill::fuzz {
namespace {

using Bytes = std::vector<uint8_t>;

// The short run is sized to stay well inside a minute on a loaded two-core machine.
#if defined(__SANITIZE_THREAD__)
constexpr uint64_t kShortRunCases = 400;
constexpr unsigned kCaseTimeoutSeconds = 120;
#elif defined(__SANITIZE_ADDRESS__)
constexpr uint64_t kShortRunCases = 1500;
constexpr unsigned kCaseTimeoutSeconds = 120;
#else
constexpr uint64_t kShortRunCases = 4000;
constexpr unsigned kCaseTimeoutSeconds = 30;
#endif

constexpr uint64_t kProgressEvery = 10000;
constexpr uint64_t kGuardBytes = 64;
constexpr uint8_t kGuardByte = 0xA5;
constexpr uint8_t kUntouchedByte = 0x5A;
// No gather is made into a destination larger than this.
constexpr uint64_t kMaxDestination = uint64_t{16} << 20;
constexpr int32_t kCodeNotWritten = 12345;

// ---- reporting ----

// The case in progress, for the signal and sanitizer hooks, which may only use what is here.
volatile sig_atomic_t current_seed_valid = 0;
char current_seed_text[32] = "";

void write_stderr(const char* text) {
  const ssize_t ignored = ::write(STDERR_FILENO, text, std::strlen(text));
  (void)ignored;
}

void report_seed() {
  if (current_seed_valid == 0) return;
  write_stderr("store_fuzz: failing case seed ");
  write_stderr(current_seed_text);
  write_stderr("; replay with: store_fuzz --seed ");
  write_stderr(current_seed_text);
  write_stderr(" --cases 1\n");
}

[[noreturn]] void fail(const std::string& what) {
  write_stderr(("store_fuzz: " + what + "\n").c_str());
  report_seed();
  std::_Exit(1);
}

void on_fatal_signal(int signal_number) {
  if (signal_number == SIGALRM) write_stderr("store_fuzz: case timed out (hang)\n");
  report_seed();
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

void install_reporting() {
  ::signal(SIGALRM, on_fatal_signal);
#ifdef TAVRILL_FUZZ_SANITIZED
  // The sanitizer's own report comes first; it then calls this before it exits.
  __sanitizer_set_death_callback(report_seed);
#else
  for (int signal_number : {SIGSEGV, SIGBUS, SIGABRT, SIGFPE, SIGILL}) {
    ::signal(signal_number, on_fatal_signal);
  }
#endif
}

// ---- randomness: splitmix64, so a seed means the same case on every platform ----

class Rng {
 public:
  explicit Rng(uint64_t seed) : state_(seed) {}

  uint64_t next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [0, bound); bound 0 gives 0.
  uint64_t below(uint64_t bound) { return bound == 0 ? 0 : next() % bound; }
  uint64_t between(uint64_t low, uint64_t high) { return low + below(high - low + 1); }
  bool percent(uint64_t chance) { return below(100) < chance; }
  template <typename T>
  T pick(std::initializer_list<T> choices) {
    return *(choices.begin() + below(choices.size()));
  }

 private:
  uint64_t state_;
};

// ---- files, outside the engine ----

Bytes read_file(const std::string& path) {
  Bytes bytes;
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return bytes;
  uint8_t chunk[65536];
  for (;;) {
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got <= 0) break;
    bytes.insert(bytes.end(), chunk, chunk + got);
  }
  ::close(fd);
  return bytes;
}

void write_file(const std::string& path, const Bytes& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd < 0) return;
  uint64_t done = 0;
  while (done < bytes.size()) {
    const ssize_t put = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (put <= 0) break;
    done += static_cast<uint64_t>(put);
  }
  ::close(fd);
}

bool is_regular_file(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

uint64_t file_size_of(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
}

void remove_entry(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

uint64_t open_descriptor_count() {
  uint64_t count = 0;
  DIR* listing = ::opendir("/proc/self/fd");
  if (listing == nullptr) return 0;
  while (const dirent* entry = ::readdir(listing)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(listing);
  return count;  // includes the listing's own descriptor, every time alike
}

// ---- record contents and the dictionaries ----

// Text-like records from a small vocabulary, so that zstd and a trained dictionary have something
// to work with; some records are plain noise.
Bytes record_bytes_of(Rng& rng, uint64_t size) {
  static const char* const kWords[] = {"{\"id\": ", "\"label\": ", "\"cat\"", "\"dog\"",
                                       ", ",        "\"box\": [",  "]}",      "0.125",
                                       "42",        "\"ok\": true"};
  Bytes bytes;
  bytes.reserve(size);
  if (rng.percent(20)) {
    for (uint64_t i = 0; i < size; ++i) bytes.push_back(static_cast<uint8_t>(rng.next()));
    return bytes;
  }
  while (bytes.size() < size) {
    const char* word = kWords[rng.below(std::size(kWords))];
    for (const char* c = word; *c != '\0' && bytes.size() < size; ++c) {
      bytes.push_back(static_cast<uint8_t>(*c));
    }
  }
  return bytes;
}

// A few dictionaries trained once per run by the engine itself, from a fixed seed.
const std::vector<Bytes>& trained_dictionaries() {
  static const std::vector<Bytes> dictionaries = [] {
    std::vector<Bytes> made;
    Rng rng(0x7A57E5EEDull);
    for (uint64_t target : {uint64_t{1024}, uint64_t{4096}}) {
      Bytes samples;
      std::vector<uint64_t> sizes;
      for (int i = 0; i < 600; ++i) {
        const Bytes sample = record_bytes_of(rng, rng.between(20, 200));
        samples.insert(samples.end(), sample.begin(), sample.end());
        sizes.push_back(sample.size());
      }
      Bytes out(target);
      int32_t code = ERR_DICT_TRAINING_FAILED;
      const int64_t size = train_dictionary(samples.data(), samples.size(), sizes.data(),
                                            sizes.size(), out.data(), out.size(), &code);
      if (size < 0) fail("dictionary training failed while setting up");
      out.resize(static_cast<size_t>(size));
      made.push_back(out);
    }
    return made;
  }();
  return dictionaries;
}

// ---- building a valid store ----

// What the engine was asked to store, in append order, and how much of it the last sync made
// visible to readers.
struct StoreModel {
  uint8_t codec = CODEC_RAW;
  uint8_t data_shards = 1;
  Bytes schema;
  Bytes dictionary;
  std::vector<Bytes> records;
  uint64_t synced_count = 0;
};

std::string shard_path(const std::string& directory, uint64_t shard) {
  return directory + "/data_" + std::to_string(shard) + ".qv";
}

ExecutorHandle* make_executor(uint32_t lanes) {
  int32_t code = ERR_IO;
  ExecutorHandle* executor = executor_create(lanes, &code);
  if (executor == nullptr) fail("executor_create failed");
  return executor;
}

void append_dense(Rng& rng, StoreHandle* store, StoreModel& model) {
  const uint64_t record_bytes = rng.percent(10) ? rng.between(1, 4) : rng.between(1, 300);
  const uint64_t count = rng.below(13);
  Bytes data;
  for (uint64_t i = 0; i < count; ++i) {
    const Bytes record = record_bytes_of(rng, record_bytes);
    data.insert(data.end(), record.begin(), record.end());
    model.records.push_back(record);
  }
  const int64_t first = store_dense_append(store, data.data(), record_bytes, count);
  if (first != static_cast<int64_t>(model.records.size() - count)) {
    fail("dense append of a valid batch returned " + std::to_string(first));
  }
}

void append_ragged(Rng& rng, StoreHandle* store, StoreModel& model) {
  const uint64_t count = rng.between(1, 12);
  std::vector<Bytes> records;
  std::vector<uint64_t> header_lengths;
  for (uint64_t i = 0; i < count; ++i) {
    const uint64_t header = 8 * rng.below(4);
    const uint64_t values = rng.percent(10) ? 0 : rng.between(1, 200);
    records.push_back(record_bytes_of(rng, header + values == 0 ? 1 : header + values));
    header_lengths.push_back(std::min<uint64_t>(header, records.back().size()));
  }
  std::vector<RaggedSlice> slices;
  uint64_t total = 0;
  for (uint64_t i = 0; i < count; ++i) {
    const auto base = reinterpret_cast<uint64_t>(records[i].data());
    const uint64_t header = header_lengths[i];
    slices.push_back(RaggedSlice{base, header, base + header, records[i].size() - header});
    total += records[i].size();
  }
  const int64_t first = store_ragged_append(store, slices.data(), count, total);
  if (first != static_cast<int64_t>(model.records.size())) {
    fail("ragged append of a valid batch returned " + std::to_string(first));
  }
  model.records.insert(model.records.end(), records.begin(), records.end());
}

Bytes pick_dictionary(Rng& rng) {
  const uint64_t roll = rng.below(100);
  if (roll < 45) {
    const std::vector<Bytes>& trained = trained_dictionaries();
    return trained[rng.below(trained.size())];
  }
  if (roll < 85) return record_bytes_of(rng, rng.between(8, 1500));  // raw content
  return Bytes{};
}

uint8_t pick_shard_count(Rng& rng) {
  const uint64_t roll = rng.below(100);
  if (roll < 70) return static_cast<uint8_t>(rng.between(1, 4));
  if (roll < 97) return static_cast<uint8_t>(rng.between(5, 24));
  return 255;
}

// Creates, fills and syncs a store. Returns the writing handle still open, or null after closing
// it, as `keep_writer` says.
StoreHandle* build_store(Rng& rng, ExecutorHandle* executor, const std::string& directory,
                         StoreModel& model, bool keep_writer) {
  model.codec = static_cast<uint8_t>(rng.below(3));
  model.data_shards = pick_shard_count(rng);
  model.schema = record_bytes_of(rng, rng.percent(5) ? kMaxSchemaLen : rng.between(1, 64));
  if (model.codec == CODEC_ZSTD_DICT) model.dictionary = pick_dictionary(rng);

  int32_t code = kCodeNotWritten;
  StoreHandle* store =
      store_create(executor, reinterpret_cast<const uint8_t*>(directory.data()), directory.size(),
                   model.codec, model.data_shards, model.dictionary.data(), model.dictionary.size(),
                   model.schema.data(), model.schema.size(), &code);
  if (store == nullptr) fail("store_create of a fresh store failed with " + std::to_string(code));

  const uint64_t batches = rng.between(1, 5);
  for (uint64_t b = 0; b < batches; ++b) {
    if (rng.percent(50)) {
      append_dense(rng, store, model);
    } else {
      append_ragged(rng, store, model);
    }
    // Syncs now and then, so later batches may lie unsynced past the header's count.
    if (rng.percent(40) || b + 1 == batches) {
      if (b + 1 == batches && rng.percent(15)) break;  // the last batches never reach the header
      if (store_sync(store) != 0) fail("store_sync failed");
      model.synced_count = model.records.size();
    }
  }
  if (keep_writer) return store;
  store_close(store);
  return nullptr;
}

// ---- damage ----

// Values near the edges of what a length, count or offset may be.
uint64_t boundary_value(Rng& rng, uint64_t near) {
  switch (rng.below(14)) {
    case 0:
      return 0;
    case 1:
      return 1;
    case 2:
      return near - 1;
    case 3:
      return near + 1;
    case 4:
      return near + rng.between(2, 4096);
    case 5:
      return kMaxRecordLen;
    case 6:
      return kMaxRecordLen + 1;
    case 7:
      return uint64_t{1} << 32;
    case 8:
      return (uint64_t{1} << 59) - 257;
    case 9:
      return (uint64_t{1} << 59) - 256;
    case 10:
      return uint64_t{1} << 60;
    case 11:
      return kMaxFileOffset;
    case 12:
      return rng.pick({kMaxFileOffset + 1, UINT64_MAX, UINT64_MAX - rng.below(64)});
    default:
      return rng.next() >> rng.below(64);
  }
}

void patch(Bytes& bytes, uint64_t offset, uint64_t value, unsigned width) {
  for (unsigned i = 0; i < width && offset + i < bytes.size(); ++i) {
    bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

uint64_t load(const Bytes& bytes, uint64_t offset, unsigned width) {
  uint64_t value = 0;
  for (unsigned i = 0; i < width && offset + i < bytes.size(); ++i) {
    value |= uint64_t{bytes[offset + i]} << (8 * i);
  }
  return value;
}

void damage_header_field(Rng& rng, const std::string& directory, const StoreModel& model) {
  const std::string meta = directory + "/meta.qv";
  Bytes bytes = read_file(meta);
  if (bytes.size() < kHeaderSize) return;
  switch (rng.below(6)) {
    case 0:
      patch(bytes, 0, boundary_value(rng, load(bytes, 0, 8)), 8);
      if (rng.percent(30)) patch(bytes, 0, model.records.size(), 8);  // unsynced ones too
      break;
    case 1:
      patch(bytes, 8, rng.pick<uint64_t>({0, 1, 2040, 2041, 0xFFFF, rng.below(0x10000)}), 2);
      break;
    case 2:
      patch(bytes, 10,
            rng.pick<uint64_t>(
                {0, 1, 255, model.data_shards - 1u, model.data_shards + 1u, rng.below(256)}),
            1);
      break;
    case 3:
      patch(bytes, 11, rng.pick<uint64_t>({0, 1, 2, 3, 255}), 1);
      break;
    case 4:
      patch(bytes, 12, rng.pick<uint64_t>({1, 0x80000000u, rng.next()}), 4);
      break;
    default: {
      // A shard length, in use or not; sometimes exactly the shard file's size.
      const uint64_t s = rng.percent(80) ? rng.below(model.data_shards) : rng.below(kMaxShards);
      const uint64_t at = kShardLengthsOffset + 8 * s;
      const uint64_t size = file_size_of(shard_path(directory, s));
      patch(bytes, at, rng.percent(25) ? size : boundary_value(rng, load(bytes, at, 8)), 8);
    }
  }
  write_file(meta, bytes);
}

void damage_index_entry(Rng& rng, const std::string& directory, const StoreModel& model) {
  const std::string meta = directory + "/meta.qv";
  Bytes bytes = read_file(meta);
  const uint64_t entries = bytes.size() < kHeaderSize ? 0 : (bytes.size() - kHeaderSize) / 16;
  if (entries == 0) return;
  // Mostly a committed record's entry; earlier damage may have cut meta.qv shorter than that.
  const uint64_t committed = std::min(model.synced_count, entries);
  const uint64_t g = rng.percent(80) && committed > 0 ? rng.below(committed) : rng.below(entries);
  const uint64_t at = kHeaderSize + kIndexEntrySize * g;
  switch (rng.below(4)) {
    case 0:
      patch(bytes, at, boundary_value(rng, load(bytes, at, 8)), 8);
      break;
    case 1:
      patch(bytes, at + 8, boundary_value(rng, load(bytes, at + 8, 4)), 4);
      break;
    case 2:
      patch(bytes, at + 12, boundary_value(rng, load(bytes, at + 12, 4)), 4);
      break;
    default: {
      // Another record's entry: plausible in every field, wrong for this index.
      const uint64_t other = kHeaderSize + kIndexEntrySize * rng.below(entries);
      for (uint64_t i = 0; i < kIndexEntrySize; ++i) bytes[at + i] = bytes[other + i];
    }
  }
  write_file(meta, bytes);
}

std::string random_store_file(Rng& rng, const std::string& directory, const StoreModel& model) {
  const uint64_t roll = rng.below(10);
  if (roll < 4) return directory + "/meta.qv";
  if (roll < 5 && model.codec == CODEC_ZSTD_DICT) return directory + "/dict.qv";
  return shard_path(directory, rng.below(model.data_shards));
}

void flip_bits(Rng& rng, const std::string& path) {
  if (!is_regular_file(path)) return;
  Bytes bytes = read_file(path);
  if (bytes.empty()) return;
  const uint64_t flips = rng.between(1, 8);
  for (uint64_t i = 0; i < flips; ++i) {
    // Meta.qv's index and the shard bytes matter more than the header's schema area.
    const uint64_t at = bytes.size() > kHeaderSize && path.ends_with("meta.qv") && rng.percent(60)
                            ? rng.between(kHeaderSize, bytes.size() - 1)
                            : rng.below(bytes.size());
    bytes[at] ^= static_cast<uint8_t>(1u << rng.below(8));
  }
  write_file(path, bytes);
}

void truncate_or_extend(Rng& rng, const std::string& path, bool extend) {
  if (!is_regular_file(path)) return;
  const uint64_t size = file_size_of(path);
  uint64_t length;
  if (extend) {
    length = size + rng.pick<uint64_t>({1, 15, 16, 17, rng.between(1, 9000)});
  } else {
    length =
        rng.percent(30) ? rng.below(size + 1) : size - std::min<uint64_t>(size, rng.between(1, 20));
  }
  if (::truncate(path.c_str(), static_cast<off_t>(length)) != 0) return;
  if (extend && rng.percent(60)) {
    Bytes bytes = read_file(path);
    for (uint64_t i = size; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(rng.next());
    write_file(path, bytes);
  }
}

void add_stray_entry(Rng& rng, const std::string& directory, const StoreModel& model) {
  const std::string names[] = {
      "data_" + std::to_string(model.data_shards) + ".qv",
      "data_" + std::to_string(rng.below(300)) + ".qv",
      "data_0" + std::to_string(rng.below(model.data_shards)) + ".qv",
      "data_",
      "data_x",
      "DATA_0.qv",
      "data",
      "notes.txt",
      "dict.qv",
  };
  const std::string path = directory + "/" + names[rng.below(std::size(names))];
  if (std::filesystem::exists(path)) return;
  if (rng.percent(20)) {
    ::mkdir(path.c_str(), 0755);
  } else if (rng.percent(10)) {
    ::mkfifo(path.c_str(), 0644);
  } else {
    write_file(path, record_bytes_of(rng, rng.below(64)));
  }
}

// A store file that is not a regular file any more: a directory or a FIFO in its place, or gone.
void replace_store_file(Rng& rng, const std::string& directory, const StoreModel& model) {
  const std::string path = random_store_file(rng, directory, model);
  remove_entry(path);
  switch (rng.below(3)) {
    case 0:
      ::mkdir(path.c_str(), 0755);
      break;
    case 1:
      ::mkfifo(path.c_str(), 0644);
      break;
    default:
      break;
  }
}

void swap_shards(Rng& rng, const std::string& directory, const StoreModel& model) {
  if (model.data_shards < 2) return;
  const uint64_t a = rng.below(model.data_shards);
  const uint64_t b = (a + 1 + rng.below(model.data_shards - 1)) % model.data_shards;
  const std::string spare = directory + "/swap.tmp";
  // Earlier damage may have removed either shard; a missing one just stays missing.
  std::error_code ignored;
  std::filesystem::rename(shard_path(directory, a), spare, ignored);
  std::filesystem::rename(shard_path(directory, b), shard_path(directory, a), ignored);
  std::filesystem::rename(spare, shard_path(directory, b), ignored);
}

// Applies one random kind of damage. `live` says a handle is open on the store: then the files
// are only changed in place, as another process could do behind its back.
void damage_once(Rng& rng, const std::string& directory, const StoreModel& model, bool live) {
  // Weighted so that about half the damaged stores still open and reach the gathers.
  const uint64_t roll = rng.below(live ? 65 : 100);
  if (roll < 25) {
    damage_index_entry(rng, directory, model);
  } else if (roll < 45) {
    flip_bits(rng, random_store_file(rng, directory, model));
  } else if (roll < 55) {
    truncate_or_extend(rng, random_store_file(rng, directory, model), false);
  } else if (roll < 65) {
    truncate_or_extend(rng, random_store_file(rng, directory, model), true);
  } else if (roll < 80) {
    damage_header_field(rng, directory, model);
  } else if (roll < 88) {
    add_stray_entry(rng, directory, model);
  } else if (roll < 94) {
    replace_store_file(rng, directory, model);
  } else {
    swap_shards(rng, directory, model);
  }
}

// ---- guarded destinations ----

// `size` bytes the engine may write, between guard bytes it must never touch.
class GuardedBuffer {
 public:
  explicit GuardedBuffer(uint64_t size)
      : size_(size), bytes_(size + 2 * kGuardBytes, kUntouchedByte) {
    std::fill(bytes_.begin(), bytes_.begin() + kGuardBytes, kGuardByte);
    std::fill(bytes_.end() - kGuardBytes, bytes_.end(), kGuardByte);
  }
  uint8_t* data() { return bytes_.data() + kGuardBytes; }
  uint64_t size() const { return size_; }
  const uint8_t* begin() const { return bytes_.data() + kGuardBytes; }

  void check_guards(const char* what) const {
    for (uint64_t i = 0; i < kGuardBytes; ++i) {
      if (bytes_[i] != kGuardByte || bytes_[bytes_.size() - 1 - i] != kGuardByte) {
        fail(std::string(what) + " wrote outside its destination");
      }
    }
  }
  bool untouched(uint64_t from, uint64_t to) const {
    return std::all_of(begin() + from, begin() + to, [](uint8_t b) { return b == kUntouchedByte; });
  }
  bool holds(uint64_t at, const uint8_t* expected, uint64_t length) const {
    return length == 0 || std::memcmp(begin() + at, expected, length) == 0;
  }

 private:
  uint64_t size_;
  Bytes bytes_;
};

// How often each entry point returned each code over the run, to show what the cases reached.
enum class Call { kOpen, kDenseGather, kPlanCreate, kPlanGather, kCount };
constexpr const char* kCallNames[] = {"store_open", "store_dense_gather", "ragged_plan_create",
                                      "ragged_plan_gather"};
constexpr int32_t kCodeSlots = 16;  // codes 0 to -13, and one slot for anything else
uint64_t outcomes[static_cast<int>(Call::kCount)][kCodeSlots] = {};

void count_outcome(Call call, int32_t code) {
  const int32_t slot = code <= 0 && code > -kCodeSlots + 1 ? -code : kCodeSlots - 1;
  ++outcomes[static_cast<int>(call)][slot];
}

void print_outcomes() {
  for (int call = 0; call < static_cast<int>(Call::kCount); ++call) {
    std::printf("  %-20s", kCallNames[call]);
    for (int32_t slot = 0; slot < kCodeSlots; ++slot) {
      if (outcomes[call][slot] == 0) continue;
      std::printf(" %d:%llu", -slot, static_cast<unsigned long long>(outcomes[call][slot]));
    }
    std::printf("\n");
  }
}

bool is_one_of(int32_t code, std::initializer_list<int32_t> codes) {
  return std::find(codes.begin(), codes.end(), code) != codes.end();
}

void expect_gather_code(int32_t code, const char* what) {
  if (!is_one_of(code, {0, ERR_STORE_FULL, ERR_OUT_OF_MEMORY, ERR_INVALID_FORMAT, ERR_IO,
                        ERR_DECODE_FAILED, ERR_BUFFER_TOO_SMALL})) {
    fail(std::string(what) + " returned the undefined code " + std::to_string(code));
  }
}

void expect_code(int32_t actual, int32_t expected, const char* what) {
  if (actual != expected) {
    fail(std::string(what) + " returned " + std::to_string(actual) + ", expected " +
         std::to_string(expected));
  }
}

// ---- gathers ----

// What one handle shows: the records it can see, and whether its files are known to be intact
// (then every result is predicted exactly).
struct View {
  StoreHandle* store;
  const StoreModel* model;
  uint64_t visible;
  bool pristine;

  bool valid(uint64_t g) const { return g < visible; }
  // Whether the model has a record g to take plausible sizes from; damaged headers may count
  // more records than were ever appended.
  bool known(uint64_t g) const { return valid(g) && g < model->records.size(); }
  const Bytes& record(uint64_t g) const { return model->records[g]; }
};

std::vector<uint64_t> random_indices(Rng& rng, const View& view) {
  const uint64_t n = rng.percent(5)    ? 0
                     : rng.percent(90) ? rng.between(1, 12)
                                       : rng.between(13, 64);
  // Half the requests name only records the handle counts; one bad index fails a whole request.
  const bool only_counted = view.visible > 0 && rng.percent(50);
  std::vector<uint64_t> idxs;
  for (uint64_t i = 0; i < n; ++i) {
    const uint64_t roll = only_counted ? 0 : rng.below(100);
    if (roll < 75 && view.visible > 0) {
      idxs.push_back(rng.below(view.visible));
    } else if (roll < 85 && !idxs.empty()) {
      idxs.push_back(idxs[rng.below(idxs.size())]);  // repeated
    } else if (roll < 95) {
      idxs.push_back(view.visible + rng.below(4));  // just past the end
    } else {
      idxs.push_back(boundary_value(rng, view.visible));
    }
  }
  return idxs;
}

bool all_valid(const View& view, const std::vector<uint64_t>& idxs) {
  return std::all_of(idxs.begin(), idxs.end(), [&](uint64_t g) { return view.valid(g); });
}

uint64_t pick_record_bytes(Rng& rng, const View& view, const std::vector<uint64_t>& idxs) {
  const uint64_t roll = rng.below(100);
  const uint64_t typical = !idxs.empty() && view.known(idxs[0]) ? view.record(idxs[0]).size() : 64;
  if (roll < 55) return typical;
  if (roll < 70) return typical + rng.pick<uint64_t>({1, UINT64_MAX});  // one more or one less
  if (roll < 85) return rng.between(1, 300);
  if (roll < 92) return 0;
  // A product that overflows 64 bits: refused before the destination is looked at.
  return idxs.size() < 2 ? rng.between(1, 300) : UINT64_MAX / idxs.size() + 1 + rng.below(1000);
}

// The exact result of a dense gather on intact files.
int32_t expected_dense_code(const View& view, const std::vector<uint64_t>& idxs,
                            uint64_t record_bytes) {
  uint64_t product = 0;
  if (__builtin_mul_overflow(idxs.size(), record_bytes, &product)) return ERR_STORE_FULL;
  if (idxs.empty()) return 0;
  if (!all_valid(view, idxs)) return ERR_INVALID_FORMAT;
  if (view.model->codec == CODEC_RAW) {
    uint64_t total = 0;
    for (uint64_t g : idxs) total += view.record(g).size();
    return total > product ? ERR_BUFFER_TOO_SMALL : 0;
  }
  for (uint64_t g : idxs) {
    if (view.record(g).size() != record_bytes) return ERR_DECODE_FAILED;
  }
  return 0;
}

void check_dense_result(const View& view, const std::vector<uint64_t>& idxs, uint64_t record_bytes,
                        const GuardedBuffer& dst, int32_t code) {
  expect_code(code, expected_dense_code(view, idxs, record_bytes), "dense gather on intact files");
  if (code != 0 || idxs.empty()) return;
  uint64_t at = 0;
  for (uint64_t g : idxs) {
    const Bytes& record = view.record(g);
    if (!dst.holds(at, record.data(), record.size())) fail("dense gather returned wrong bytes");
    at += view.model->codec == CODEC_RAW ? record.size() : record_bytes;
  }
  if (!dst.untouched(at, dst.size())) fail("dense gather wrote past its records");
}

void run_dense_gather(Rng& rng, const View& view) {
  const std::vector<uint64_t> idxs = random_indices(rng, view);
  const std::vector<uint64_t> idxs_before = idxs;
  const uint64_t record_bytes = pick_record_bytes(rng, view, idxs);
  uint64_t product = 0;
  const bool overflows = __builtin_mul_overflow(idxs.size(), record_bytes, &product);
  if (!overflows && product > kMaxDestination) return;
  GuardedBuffer dst(overflows ? 0 : product);
  const int32_t code =
      store_dense_gather(view.store, idxs.data(), idxs.size(), dst.data(), record_bytes);
  count_outcome(Call::kDenseGather, code);
  expect_gather_code(code, "store_dense_gather");
  dst.check_guards("store_dense_gather");
  if (overflows) expect_code(code, ERR_STORE_FULL, "dense gather with an overflowing size");
  if (idxs != idxs_before) fail("store_dense_gather changed the caller's indices");
  if (view.pristine) check_dense_result(view, idxs, record_bytes, dst, code);
}

uint64_t pick_header_len(Rng& rng, const View& view, const std::vector<uint64_t>& idxs) {
  const uint64_t roll = rng.below(100);
  if (roll < 35) return 0;
  if (roll < 65) return rng.pick<uint64_t>({8, 16, 24});
  if (roll < 80) return rng.below(48);
  if (roll < 92 && !idxs.empty() && view.known(idxs[0])) return view.record(idxs[0]).size();
  return rng.pick<uint64_t>({UINT64_MAX, uint64_t{1} << 63, kMaxRecordLen, kMaxRecordLen + 1});
}

struct PlanOutcome {
  int32_t code;
  uint64_t data_total;
};

// The exact result of ragged_plan_create on intact files.
PlanOutcome expected_plan(const View& view, const std::vector<uint64_t>& idxs,
                          uint64_t header_len) {
  if (!all_valid(view, idxs)) return {ERR_INVALID_FORMAT, 0};
  uint64_t data_total = 0;
  for (uint64_t g : idxs) {
    if (view.record(g).size() <= header_len) return {ERR_DECODE_FAILED, 0};
    data_total += view.record(g).size() - header_len;
  }
  uint64_t headers = 0;
  uint64_t decoded = 0;
  if (__builtin_mul_overflow(idxs.size(), header_len, &headers) ||
      __builtin_add_overflow(headers, data_total, &decoded)) {
    return {ERR_STORE_FULL, 0};
  }
  return {0, data_total};
}

// The exact result of ragged_plan_gather on intact files, from its bounds.
int32_t expected_ragged_gather_code(uint64_t n, uint64_t header_len, uint64_t data_total,
                                    uint64_t values_end, uint64_t values_offset) {
  uint64_t headers = 0;
  uint64_t values_stop = 0;
  if (__builtin_mul_overflow(n, header_len, &headers) ||
      __builtin_add_overflow(values_offset, data_total, &values_stop)) {
    return ERR_STORE_FULL;
  }
  if (headers > values_end || values_offset < headers || values_stop > values_end) {
    return ERR_BUFFER_TOO_SMALL;
  }
  return 0;
}

void check_ragged_layout(const View& view, const std::vector<uint64_t>& idxs, uint64_t header_len,
                         uint64_t values_offset, const GuardedBuffer& dst) {
  uint64_t value_at = values_offset;
  for (uint64_t i = 0; i < idxs.size(); ++i) {
    const Bytes& record = view.record(idxs[i]);
    if (!dst.holds(i * header_len, record.data(), header_len) ||
        !dst.holds(value_at, record.data() + header_len, record.size() - header_len)) {
      fail("ragged gather returned wrong bytes");
    }
    value_at += record.size() - header_len;
  }
  if (!dst.untouched(idxs.size() * header_len, values_offset)) {
    fail("ragged gather wrote into the gap between headers and values");
  }
}

// values_offset and values_end as the module computes them, or plausible mistakes.
void pick_ragged_bounds(Rng& rng, uint64_t n, uint64_t header_len, uint64_t data_total,
                        uint64_t* values_offset, uint64_t* values_end) {
  const uint64_t headers = n * header_len;  // the plan exists, so this did not overflow
  const uint64_t aligned = (headers + 15) / 16 * 16;
  const uint64_t roll = rng.below(100);
  if (roll < 70) {
    *values_offset = aligned;
  } else if (roll < 80) {
    *values_offset = headers;
  } else if (roll < 88) {
    *values_offset = headers - (headers == 0 ? 0 : 1);
  } else if (roll < 95) {
    *values_offset = aligned + rng.below(40);
  } else {
    *values_offset = UINT64_MAX - rng.below(data_total + 2);
  }
  uint64_t stop = 0;
  if (__builtin_add_overflow(*values_offset, data_total, &stop)) stop = UINT64_MAX;
  const uint64_t end_roll = rng.below(100);
  if (end_roll < 75) {
    *values_end = stop;
  } else if (end_roll < 85) {
    *values_end = stop - (stop == 0 ? 0 : 1);
  } else if (end_roll < 95) {
    *values_end = stop == UINT64_MAX ? stop : stop + rng.between(1, 40);
  } else {
    *values_end = rng.below(stop == UINT64_MAX ? UINT64_MAX : stop + 1);
  }
}

void run_ragged_gather(Rng& rng, const View& view) {
  const std::vector<uint64_t> idxs = random_indices(rng, view);
  const std::vector<uint64_t> idxs_before = idxs;
  const uint64_t n = idxs.size();
  const uint64_t header_len = pick_header_len(rng, view, idxs);

  GuardedBuffer ends_buffer(8 * n);
  auto* ends = reinterpret_cast<uint64_t*>(ends_buffer.data());
  int32_t code = kCodeNotWritten;
  RaggedPlan* plan = ragged_plan_create(view.store, idxs.data(), n, header_len, ends, &code);
  ends_buffer.check_guards("ragged_plan_create");
  count_outcome(Call::kPlanCreate, plan == nullptr ? code : 0);
  if (plan == nullptr) {
    if (code == 0 || code == kCodeNotWritten) fail("ragged_plan_create failed without a code");
    expect_gather_code(code, "ragged_plan_create");
    if (view.pristine) expect_code(code, expected_plan(view, idxs, header_len).code, "plan");
    return;
  }
  const uint64_t data_total = ragged_plan_values_bytes(plan);
  if (view.pristine) {
    const PlanOutcome expected = expected_plan(view, idxs, header_len);
    expect_code(0, expected.code, "ragged_plan_create on intact files");
    if (data_total != expected.data_total) fail("ragged plan counted the wrong value bytes");
  }
  // The value ends run up to the plan's value bytes, whatever the files held.
  for (uint64_t i = 0; i < n; ++i) {
    if ((i > 0 && ends[i] < ends[i - 1]) || (i + 1 == n && ends[i] != data_total)) {
      fail("ragged_plan_create filled ends that do not add up to its value bytes");
    }
  }

  uint64_t values_offset = 0;
  uint64_t values_end = 0;
  pick_ragged_bounds(rng, n, header_len, data_total, &values_offset, &values_end);
  // The engine may write below values_end and below the end of the values, never further. A
  // destination that large cannot exist, so such a gather is only made when its bounds overflow,
  // which must be refused before anything is written.
  uint64_t values_stop = 0;
  const bool overflows = __builtin_add_overflow(values_offset, data_total, &values_stop);
  const uint64_t writable = overflows ? 0 : std::min(values_end, values_stop);
  if (writable > kMaxDestination) {
    ragged_plan_free(plan);
    return;
  }
  GuardedBuffer dst(writable);
  // Now and then the caller's ends change behind the plan's back; the engine must still stay
  // inside the destination.
  const bool ends_tampered = n > 0 && rng.percent(4);
  if (ends_tampered) ends[rng.below(n)] = boundary_value(rng, data_total);

  const int32_t gathered = ragged_plan_gather(plan, dst.data(), values_end, values_offset, ends);
  ragged_plan_free(plan);
  count_outcome(Call::kPlanGather, gathered);
  expect_gather_code(gathered, "ragged_plan_gather");
  dst.check_guards("ragged_plan_gather");
  ends_buffer.check_guards("ragged_plan_gather");
  if (idxs != idxs_before) fail("a ragged gather changed the caller's indices");
  if (overflows) expect_code(gathered, ERR_STORE_FULL, "ragged gather with overflowing bounds");
  if (!view.pristine || ends_tampered) return;
  expect_code(gathered,
              expected_ragged_gather_code(n, header_len, data_total, values_end, values_offset),
              "ragged gather on intact files");
  if (gathered == 0) check_ragged_layout(view, idxs, header_len, values_offset, dst);
}

void run_gathers(Rng& rng, const View& view) {
  const uint64_t gathers = rng.between(1, 10);
  for (uint64_t i = 0; i < gathers; ++i) {
    if (rng.percent(50)) {
      run_dense_gather(rng, view);
    } else {
      run_ragged_gather(rng, view);
    }
  }
}

// ---- opening ----

// Opens the store as a reader, with a schema buffer between guards. Null when open refused it;
// then the code must be one open can give.
StoreHandle* open_reader(Rng& rng, ExecutorHandle* executor, const std::string& directory,
                         const StoreModel& model, bool pristine, bool full_schema_buffer) {
  const uint64_t capacity =
      full_schema_buffer || rng.percent(90)
          ? kMaxSchemaLen
          : rng.pick<uint64_t>({0, model.schema.size(), model.schema.size() - 1});
  GuardedBuffer schema(capacity);
  uint64_t schema_len = kCodeNotWritten;
  int32_t code = kCodeNotWritten;
  StoreHandle* store = store_open(executor, reinterpret_cast<const uint8_t*>(directory.data()),
                                  directory.size(), schema.data(), capacity, &schema_len, &code);
  schema.check_guards("store_open's schema copy");
  count_outcome(Call::kOpen, store == nullptr ? code : 0);
  if (store == nullptr) {
    if (!is_one_of(code, {ERR_OUT_OF_MEMORY, ERR_IO, ERR_BUFFER_TOO_SMALL, ERR_INVALID_FORMAT,
                          ERR_NOT_FOUND, ERR_BUSY})) {
      fail("store_open returned the undefined code " + std::to_string(code));
    }
    if (schema_len != static_cast<uint64_t>(kCodeNotWritten)) {
      fail("a failed store_open wrote the schema length");
    }
    if (pristine && !(code == ERR_BUFFER_TOO_SMALL && capacity < model.schema.size())) {
      fail("store_open refused an intact store with " + std::to_string(code));
    }
    return nullptr;
  }
  if (schema_len > capacity || schema_len == 0 || schema_len > kMaxSchemaLen) {
    fail("store_open reported an impossible schema length");
  }
  if (store_data_shards(store) == 0 || store_codec(store) > CODEC_ZSTD_DICT) {
    fail("store_open accepted an impossible header");
  }
  if (pristine &&
      (store_length(store) != model.synced_count || schema_len != model.schema.size() ||
       !schema.holds(0, model.schema.data(), model.schema.size()) ||
       store_codec(store) != model.codec || store_data_shards(store) != model.data_shards)) {
    fail("store_open of an intact store read it wrongly");
  }
  return store;
}

// ---- one case ----

// Damage behind the open writer, which gathers on through index entries and shard bytes it reads
// afresh every time.
void run_behind_writer(Rng& rng, ExecutorHandle* executor, const std::string& directory,
                       uint64_t damages) {
  StoreModel model;
  StoreHandle* writer = build_store(rng, executor, directory, model, true);
  const uint64_t appended = model.records.size();
  if (rng.percent(50)) run_gathers(rng, View{writer, &model, appended, true});
  for (uint64_t i = 0; i < damages; ++i) damage_once(rng, directory, model, true);
  run_gathers(rng, View{writer, &model, appended, damages == 0});
  store_close(writer);
}

// Damage behind a reader opened while the store was intact.
void run_behind_reader(Rng& rng, ExecutorHandle* executor, const std::string& directory,
                       uint64_t damages) {
  StoreModel model;
  build_store(rng, executor, directory, model, false);
  StoreHandle* reader = open_reader(rng, executor, directory, model, true, true);
  run_gathers(rng, View{reader, &model, model.synced_count, true});
  for (uint64_t i = 0; i < damages; ++i) damage_once(rng, directory, model, true);
  run_gathers(rng, View{reader, &model, model.synced_count, damages == 0});
  store_close(reader);
}

// Damage to the closed store, which is then opened: the common case.
void run_reopened(Rng& rng, ExecutorHandle* executor, const std::string& directory,
                  uint64_t damages) {
  StoreModel model;
  build_store(rng, executor, directory, model, false);
  for (uint64_t i = 0; i < damages; ++i) damage_once(rng, directory, model, false);
  const bool pristine = damages == 0;
  StoreHandle* reader = open_reader(rng, executor, directory, model, pristine, false);
  // Refused for a short schema buffer, perhaps: a full one may get further.
  if (reader == nullptr) reader = open_reader(rng, executor, directory, model, pristine, true);
  if (reader == nullptr) return;
  const uint64_t visible = pristine ? model.synced_count : store_length(reader);
  run_gathers(rng, View{reader, &model, visible, pristine});
  store_close(reader);
}

void run_case(uint64_t seed, const std::string& root) {
  Rng rng(seed);
  const std::string directory = root + "/case";
  remove_entry(directory);
  const uint64_t descriptors_before = open_descriptor_count();
  const int64_t blocks_before = fault_ledger_live_blocks();
  ExecutorHandle* executor = make_executor(static_cast<uint32_t>(rng.between(1, 4)));

  const uint64_t mode = rng.below(100);
  const uint64_t damages = rng.percent(15) ? 0 : rng.between(1, 4);
  if (mode < 12) {
    run_behind_writer(rng, executor, directory, damages);
  } else if (mode < 24) {
    run_behind_reader(rng, executor, directory, damages);
  } else {
    run_reopened(rng, executor, directory, damages);
  }

  executor_close(executor);
  if (open_descriptor_count() != descriptors_before) fail("descriptors were left open");
  if (fault_ledger_live_blocks() != blocks_before) fail("allocator blocks were left allocated");
}

struct Options {
  uint64_t first_seed = 1;
  uint64_t cases = kShortRunCases;
};

Options parse_options(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--short") {
      options.cases = kShortRunCases;
    } else if (argument == "--cases" && i + 1 < argc) {
      options.cases = std::strtoull(argv[++i], nullptr, 10);
    } else if (argument == "--seed" && i + 1 < argc) {
      options.first_seed = std::strtoull(argv[++i], nullptr, 10);
    } else {
      std::fprintf(stderr, "usage: store_fuzz [--short | --cases N] [--seed S]\n");
      std::exit(2);
    }
  }
  return options;
}

// Every case makes and removes a store directory, so a memory file system is preferred when
// TMPDIR does not name a place: on a busy disk the journal, not the engine, would set the pace.
std::string scratch_base() {
  if (const char* base = std::getenv("TMPDIR")) return base;
  struct stat info;
  if (::stat("/dev/shm", &info) == 0 && S_ISDIR(info.st_mode) && ::access("/dev/shm", W_OK) == 0) {
    return "/dev/shm";
  }
  return "/tmp";
}

std::string make_root() {
  std::string pattern = scratch_base() + "/tavrill-fuzz-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) fail("cannot make a scratch directory");
  return pattern;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int run(int argc, char** argv) {
  const Options options = parse_options(argc, argv);
  install_reporting();
  trained_dictionaries();
  const std::string root = make_root();
  const auto start = std::chrono::steady_clock::now();
  for (uint64_t i = 0; i < options.cases; ++i) {
    const uint64_t seed = options.first_seed + i;
    std::snprintf(current_seed_text, sizeof current_seed_text, "%llu",
                  static_cast<unsigned long long>(seed));
    current_seed_valid = 1;
    ::alarm(kCaseTimeoutSeconds);
    run_case(seed, root);
    ::alarm(0);
    current_seed_valid = 0;
    if ((i + 1) % kProgressEvery == 0 && i + 1 < options.cases) {
      std::fprintf(stderr, "store_fuzz: %llu cases, %.0f s\n",
                   static_cast<unsigned long long>(i + 1), seconds_since(start));
    }
  }
  remove_entry(root);
  const double seconds = seconds_since(start);
  std::printf("store_fuzz: %llu cases from seed %llu passed in %.1f s (%.0f cases/s)\n",
              static_cast<unsigned long long>(options.cases),
              static_cast<unsigned long long>(options.first_seed), seconds,
              seconds > 0 ? static_cast<double>(options.cases) / seconds : 0.0);
  std::printf("codes returned, code:count\n");
  print_outcomes();
  return 0;
}

}  // namespace
}  // namespace tavrill::fuzz

int main(int argc, char** argv) { return tavrill::fuzz::run(argc, argv); }
