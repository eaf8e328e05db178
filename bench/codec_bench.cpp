// Base64 and HMAC-MD5 speed, with OpenSSL's Base64 block coder on the same inputs in
// the same run as the peer to beat.
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include "codec/base64.h"
#include "codec/md5.h"

namespace {

std::vector<unsigned char> RandomBytes(std::size_t n) {
  std::mt19937 rng(42);
  std::vector<unsigned char> bytes(n);
  for (auto& b : bytes) b = static_cast<unsigned char>(rng());
  return bytes;
}

// Base64 text without line breaks, which both decoders accept.
std::string FlatBase64(std::size_t n) {
  std::vector<unsigned char> bytes = RandomBytes(n);
  CBase64Buffer b;
  b.Encode(bytes.data(), static_cast<int>(n), CBase64Buffer::Base64NoLineBreaks);
  return b.Data();
}

void Sizes(benchmark::internal::Benchmark* b) { b->Arg(1 << 10)->Arg(64 << 10)->Arg(16 << 20); }

void OursEncode(benchmark::State& state, std::uint32_t flags) {
  auto in = RandomBytes(static_cast<std::size_t>(state.range(0)));
  int n = static_cast<int>(in.size());
  std::vector<char> out(static_cast<std::size_t>(CBase64Buffer::RequiredEncodedLength(n, flags)));
  for (auto _ : state) {
    int written = 0;
    CBase64Buffer::EncodeRaw(in.data(), n, out.data(), &written, flags);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * n);
}

void BM_Base64Encode_Ours(benchmark::State& state) {
  OursEncode(state, CBase64Buffer::Base64NoLineBreaks);
}
void BM_Base64Encode_OursLines(benchmark::State& state) { OursEncode(state, 0); }

void BM_Base64Encode_OpenSSL(benchmark::State& state) {
  auto in = RandomBytes(static_cast<std::size_t>(state.range(0)));
  int n = static_cast<int>(in.size());
  std::vector<unsigned char> out(static_cast<std::size_t>(4 * ((n + 2) / 3) + 1));
  for (auto _ : state) {
    benchmark::DoNotOptimize(EVP_EncodeBlock(out.data(), in.data(), n));
  }
  state.SetBytesProcessed(state.iterations() * n);
}

void BM_Base64Decode_Ours(benchmark::State& state) {
  std::string text = FlatBase64(static_cast<std::size_t>(state.range(0)));
  int n = static_cast<int>(text.size());
  std::vector<unsigned char> out(text.size());
  for (auto _ : state) {
    int written = 0;
    CBase64Buffer::DecodeRaw(text.data(), n, out.data(), &written);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_Base64Decode_OpenSSL(benchmark::State& state) {
  std::string text = FlatBase64(static_cast<std::size_t>(state.range(0)));
  int n = static_cast<int>(text.size());
  std::vector<unsigned char> out(text.size());
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()), n));
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_HmacMd5(benchmark::State& state) {
  // A CRAM-MD5 answer: a challenge of about 60 bytes under a short password.
  const std::string challenge = "<1896.697170952@postoffice.example.net>";
  const std::string key = "tanstaaftanstaaf";
  CMD5Hasher hasher;
  CMD5Digest digest;
  for (auto _ : state) {
    hasher.Hmac(reinterpret_cast<const unsigned char*>(challenge.data()), challenge.size(),
                reinterpret_cast<const unsigned char*>(key.data()),
                static_cast<unsigned>(key.size()), digest);
    benchmark::DoNotOptimize(digest);
  }
  state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_Base64Encode_Ours)->Apply(Sizes);
BENCHMARK(BM_Base64Encode_OursLines)->Apply(Sizes);
BENCHMARK(BM_Base64Encode_OpenSSL)->Apply(Sizes);
BENCHMARK(BM_Base64Decode_Ours)->Apply(Sizes);
BENCHMARK(BM_Base64Decode_OpenSSL)->Apply(Sizes);
BENCHMARK(BM_HmacMd5);
