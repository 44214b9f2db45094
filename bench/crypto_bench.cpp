// Our MD5 and answer cipher side by side with OpenSSL's MD5 and single DES (ECB) on the same
// 64 MiB of random bytes, in one run; prints each throughput and our share of OpenSSL's.
//
// Goals: MD5 at least 0.9 of OpenSSL's throughput, the cipher at least 0.8 of single DES.

// Single DES is in OpenSSL 3's deprecated low-level API (EVP keeps it in the legacy provider).
#define OPENSSL_SUPPRESS_DEPRECATED

#include <benchmark/benchmark.h>
#include <openssl/des.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "agent/crypto/answer_cipher.h"
#include "agent/crypto/answer_cipher_internal.h"
#include "agent/crypto/md5.h"

namespace {

constexpr size_t kInputBytes = 64u << 20;

const std::vector<unsigned char>& Input() {
  static const std::vector<unsigned char> input = [] {
    std::vector<unsigned char> bytes(kInputBytes);
    std::mt19937_64 random(64);
    for (size_t i = 0; i < bytes.size(); i += 8) {
      const uint64_t word = random();
      for (size_t j = 0; j < 8; ++j) {
        bytes[i + j] = static_cast<unsigned char>(word >> 8 * j);
      }
    }
    return bytes;
  }();
  return input;
}

void SetThroughput(benchmark::State& state) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(kInputBytes));
}

void Md5_Vexo(benchmark::State& state) {
  const auto& input = Input();
  for (auto _ : state) {
    vexo::Md5Digest digest;
    digest.Init();
    digest.Update(input.data(), static_cast<uint32_t>(input.size()));
    digest.Final();
    benchmark::DoNotOptimize(digest.HexDigest());
  }
  SetThroughput(state);
}

void Md5_OpenSsl(benchmark::State& state) {
  const auto& input = Input();
  for (auto _ : state) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(input.data(), input.size(), digest, &size, EVP_md5(), nullptr);
    benchmark::DoNotOptimize(digest);
  }
  SetThroughput(state);
}

// The agent's own call: one answer deciphered into text, under the lock.
void Cipher_VexoDecipherAnswer(benchmark::State& state) {
  const auto& input = Input();
  for (auto _ : state) {
    std::string text = vexo::DecipherAnswer(input.data(), static_cast<uint32_t>(input.size()));
    benchmark::DoNotOptimize(text.data());
  }
  SetThroughput(state);
}

// The same bytes as answers of the agent's largest size (its read buffer holds 102400 bytes),
// where the text's memory is reused from answer to answer instead of fresh pages each time.
void Cipher_VexoDecipherAnswers100KiB(benchmark::State& state) {
  constexpr size_t kAnswerBytes = 102400;
  const auto& input = Input();
  for (auto _ : state) {
    for (size_t offset = 0; offset < input.size(); offset += kAnswerBytes) {
      const size_t count = std::min(kAnswerBytes, input.size() - offset);
      std::string text = vexo::DecipherAnswer(input.data() + offset, static_cast<uint32_t>(count));
      benchmark::DoNotOptimize(text.data());
    }
  }
  SetThroughput(state);
}

// The block function alone, block by block into an output buffer, as the DES loop below.
void Cipher_VexoBlocks(benchmark::State& state) {
  const auto& input = Input();
  std::vector<unsigned char> output(input.size());
  const auto schedule = vexo::answer_cipher::ScheduleKey(vexo::answer_cipher::kAnswerKey);
  for (auto _ : state) {
    for (size_t i = 0; i < input.size(); i += 8) {
      unsigned char block[8];
      std::copy(input.begin() + i, input.begin() + i + 8, block);
      vexo::answer_cipher::DecipherBlockWith(schedule, block);
      std::copy(block, block + 8, output.begin() + i);
    }
    benchmark::DoNotOptimize(output.data());
  }
  SetThroughput(state);
}

void Cipher_OpenSslDesEcb(benchmark::State& state) {
  const auto& input = Input();
  std::vector<unsigned char> output(input.size());
  DES_cblock key;
  std::copy(vexo::answer_cipher::kAnswerKey.begin(), vexo::answer_cipher::kAnswerKey.end(), key);
  DES_key_schedule schedule;
  DES_set_key_unchecked(&key, &schedule);
  for (auto _ : state) {
    for (size_t i = 0; i < input.size(); i += 8) {
      DES_ecb_encrypt(
          reinterpret_cast<const_DES_cblock*>(const_cast<unsigned char*>(input.data() + i)),
          reinterpret_cast<DES_cblock*>(output.data() + i), &schedule, DES_DECRYPT);
    }
    benchmark::DoNotOptimize(output.data());
  }
  SetThroughput(state);
}

BENCHMARK(Md5_Vexo)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(Md5_OpenSsl)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(Cipher_VexoDecipherAnswer)->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(Cipher_VexoDecipherAnswers100KiB)->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(Cipher_VexoBlocks)->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(Cipher_OpenSslDesEcb)->Unit(benchmark::kMillisecond)->MinTime(3.0);

// Keeps each benchmark's throughput so the ratios can be printed after the run.
class ThroughputReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs) {
      const auto counter = run.counters.find("bytes_per_second");
      if (counter != run.counters.end() && run.run_type == Run::RT_Iteration) {
        throughput_[run.run_name.function_name] = counter->second.value;
      }
    }
  }

  void PrintRatio(const std::string& ours, const std::string& theirs, double goal) const {
    const auto a = throughput_.find(ours);
    const auto b = throughput_.find(theirs);
    if (a == throughput_.end() || b == throughput_.end() || b->second <= 0) {
      return;
    }
    const double ratio = a->second / b->second;
    std::printf("%-33s %8.1f MiB/s  %-21s %8.1f MiB/s  ratio %.2f (goal %.1f: %s)\n", ours.c_str(),
                a->second / (1 << 20), theirs.c_str(), b->second / (1 << 20), ratio, goal,
                ratio >= goal ? "met" : "missed");
  }

 private:
  std::map<std::string, double> throughput_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  Input();  // generated once, outside the timings
  ThroughputReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::fflush(stdout);
  std::printf("\n");
  reporter.PrintRatio("Md5_Vexo", "Md5_OpenSsl", 0.9);
  reporter.PrintRatio("Cipher_VexoDecipherAnswer", "Cipher_OpenSslDesEcb", 0.8);
  reporter.PrintRatio("Cipher_VexoDecipherAnswers100KiB", "Cipher_OpenSslDesEcb", 0.8);
  reporter.PrintRatio("Cipher_VexoBlocks", "Cipher_OpenSslDesEcb", 0.8);
  benchmark::Shutdown();
  return 0;
}
