// Speed of the text encoders on large texts. Every encoder must run in time linear in
// its input: the figures at 1, 2, 32 and 64 MiB (bytes/s of input) must stay level.
#include <clocale>
#include <random>
#include <string>

#include <benchmark/benchmark.h>

#include "mime/body_part.h"
#include "mime/dot_stuffing.h"
#include "mime/header_encoding.h"
#include "mime/quoted_printable.h"

namespace {

// Mail-like text: words of printable ASCII with an "=" and an 8-bit byte now and then,
// in lines of about 70 characters; lineEnd "" gives one long header value.
std::string MailText(std::size_t size, const std::string& lineStart, const std::string& lineEnd) {
  std::mt19937 rng(1);
  std::string text;
  text.reserve(size + 100);
  std::size_t lineLength = 0;
  text += lineStart;
  while (text.size() < size) {
    const std::size_t word = 1 + rng() % 9;
    for (std::size_t i = 0; i < word; ++i) {
      const auto r = static_cast<unsigned>(rng() % 100);
      text += r == 0 ? '=' : r == 1 ? '\xE9' : static_cast<char>('a' + r % 26);
    }
    lineLength += word + 1;
    if (!lineEnd.empty() && lineLength > 70) {
      text += lineEnd + lineStart;
      lineLength = 0;
    } else {
      text += ' ';
    }
  }
  text.resize(size);
  return text;
}

void Sizes(benchmark::internal::Benchmark* b) {
  b->Arg(1 << 20)->Arg(2 << 20)->Arg(32 << 20)->Arg(64 << 20)->Unit(benchmark::kMillisecond);
}

std::size_t SizeOf(const benchmark::State& state) { return static_cast<std::size_t>(state.range(0)); }

void BM_EncodeQuotedPrintable(benchmark::State& state) {
  const std::string text = MailText(SizeOf(state), "", "\r\n");
  for (auto _ : state) benchmark::DoNotOptimize(EncodeQuotedPrintable(text));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

// One long line: every soft break is searched for.
void BM_EncodeQuotedPrintable_OneLine(benchmark::State& state) {
  const std::string text = MailText(SizeOf(state), "", "");
  for (auto _ : state) benchmark::DoNotOptimize(EncodeQuotedPrintable(text));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void HeaderText(benchmark::State& state, const char* charset) {
  std::setlocale(LC_ALL, "C.UTF-8");
  const std::string text = MailText(SizeOf(state), "", "");
  for (auto _ : state) benchmark::DoNotOptimize(EncodeHeaderText(text, charset));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
void BM_EncodeHeaderText_Latin1(benchmark::State& state) { HeaderText(state, "iso-8859-1"); }
void BM_EncodeHeaderText_Utf8(benchmark::State& state) { HeaderText(state, "UTF-8"); }

void Stuff(benchmark::State& state, const std::string& lineStart) {
  const std::string text = MailText(SizeOf(state), lineStart, "\r\n");
  for (auto _ : state) {
    state.PauseTiming();
    std::string copy = text;
    state.ResumeTiming();
    DotStuff(copy);
    benchmark::DoNotOptimize(copy);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
void BM_DotStuff(benchmark::State& state) { Stuff(state, ""); }
void BM_DotStuff_DotOnEveryLine(benchmark::State& state) { Stuff(state, "."); }

void BM_SetBodyText(benchmark::State& state) {
  const std::string text = MailText(SizeOf(state), "", "\n");
  CTAVSMTPBodyPart part;
  for (auto _ : state) {
    part.SetBodyText(text);
    benchmark::DoNotOptimize(part.text.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

}  // namespace

BENCHMARK(BM_EncodeQuotedPrintable)->Apply(Sizes);
BENCHMARK(BM_EncodeQuotedPrintable_OneLine)->Apply(Sizes);
BENCHMARK(BM_EncodeHeaderText_Latin1)->Apply(Sizes);
BENCHMARK(BM_EncodeHeaderText_Utf8)->Apply(Sizes);
BENCHMARK(BM_DotStuff)->Apply(Sizes);
BENCHMARK(BM_DotStuff_DotOnEveryLine)->Apply(Sizes);
BENCHMARK(BM_SetBodyText)->Apply(Sizes);
