// Throughput of the digest transform against OpenSSL's MD5 block transform,
// and the start-up cost of a full checksum list.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/md5.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "digest/checksum_list.h"
#include "digest/digest_transform.h"
#include "support/pe_test_image.h"

namespace kestrin {
namespace {

namespace fs = std::filesystem;

std::vector<std::uint8_t> pageOfBytes() {
  std::vector<std::uint8_t> page(4096);
  for (std::size_t k = 0; k < page.size(); ++k) page[k] = static_cast<std::uint8_t>(k * 131 + 7);
  return page;
}

void BM_DigestTransform(benchmark::State& state) {
  const std::vector<std::uint8_t> page = pageOfBytes();
  FileDigest digest;
  for (auto _ : state) {
    digestTransform(digest.words, 4, page.data(), page.size());
    benchmark::DoNotOptimize(digest.words);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * page.size()));
}
BENCHMARK(BM_DigestTransform);

void BM_OpenSslMd5Transform(benchmark::State& state) {
  const std::vector<std::uint8_t> page = pageOfBytes();
  MD5_CTX context;
  std::memset(&context, 0, sizeof context);
  for (auto _ : state) {
    for (std::size_t offset = 0; offset < page.size(); offset += 64) MD5_Transform(&context, page.data() + offset);
    benchmark::DoNotOptimize(context);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * page.size()));
}
BENCHMARK(BM_OpenSslMd5Transform);

// A library of 1 MiB of code with a relocation block of 150 fix-ups for
// every page.
std::vector<std::uint8_t> megabyteLibrary(std::uint32_t seed) {
  constexpr std::uint32_t kPages = 256;
  std::vector<testing::TestRelocationBlock> blocks(kPages);
  for (std::uint32_t p = 0; p < kPages; ++p) {
    blocks[p].page = 0x1000 + p * 0x1000;
    for (std::uint16_t e = 0; e < 150; ++e) blocks[p].entries.push_back(testing::highLow(static_cast<std::uint16_t>(e * 27)));
  }
  return testing::codeImage(kPages, blocks, seed).build();
}

void writeFile(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
  std::FILE* file = std::fopen(path.string().c_str(), "wb");
  if (file == nullptr) return;
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
}

// Start-up for one game: 8 libraries of 1 MiB and 24 models of 400 KB.
void BM_ChecksumListStartup(benchmark::State& state) {
  const fs::path directory = fs::temp_directory_path() / "kestrin_digest_bench";
  fs::create_directories(directory);
  constexpr int kLibraries = 8;
  constexpr int kModels = 24;
  for (int k = 0; k < kLibraries; ++k) {
    writeFile(directory / ("lib" + std::to_string(k) + ".dll"), megabyteLibrary(static_cast<std::uint32_t>(k + 1)));
  }
  std::vector<std::uint8_t> model(400 * 1000);
  for (int k = 0; k < kModels; ++k) {
    for (std::size_t b = 0; b < model.size(); ++b) model[b] = static_cast<std::uint8_t>(b * (k + 3));
    writeFile(directory / ("model" + std::to_string(k) + ".mdl"), model);
  }
  const std::string folder = directory.string();
  for (auto _ : state) {
    ChecksumList list;
    for (int k = 0; k < kLibraries; ++k) {
      list.addCheckFile(folder.c_str(), ("lib" + std::to_string(k) + ".dll").c_str(), false);
    }
    for (int k = 0; k < kModels; ++k) {
      list.addCheckFile(folder.c_str(), ("model" + std::to_string(k) + ".mdl").c_str(), true);
    }
    if (list.checkFileCount != kLibraries + kModels) state.SkipWithError("a file was refused");
    benchmark::DoNotOptimize(list.checkFileDigests);
  }
  fs::remove_all(directory);
}
BENCHMARK(BM_ChecksumListStartup)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace kestrin

BENCHMARK_MAIN();
