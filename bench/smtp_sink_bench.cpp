// Messages per second through one SMTP connection: the engine against Postfix's
// smtp-source, each sending 1,000 small messages (a 1 KiB body) to the same smtp-sink on
// 127.0.0.1, one message at a time without pipelining. Both figures are wall-clock
// rates over a whole run of 1,000, connect and QUIT included (and, for smtp-source, its
// start). The runs of the two alternate in random order, so that a load that comes and
// goes on the machine falls on both alike; the medians and their ratio engine /
// smtp-source are printed at the end.
#include <unistd.h>

#include <cstdio>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "mime/message.h"
#include "smtp/connection.h"
#include "tests/support/server_process.h"

namespace {

constexpr int messagesPerRun = 1000;
constexpr int bodyLength = 1024;
constexpr const char* sinkProgram = "/usr/sbin/smtp-sink";
constexpr const char* sourceProgram = "/usr/sbin/smtp-source";

std::unique_ptr<ServerProcess> sink;

std::vector<std::string> SinkCommand(std::uint16_t port) {
  std::vector<std::string> argv{sinkProgram};
  // smtp-sink refuses to keep root's privileges.
  if (geteuid() == 0) argv.insert(argv.end(), {"-u", "nobody"});
  argv.insert(argv.end(), {"127.0.0.1:" + std::to_string(port), "64"});
  return argv;
}

// Lines of 64 characters and CR LF, as smtp-source writes its payload.
std::string Body() {
  std::string body;
  while (body.size() < bodyLength) body += std::string(64, 'x') + "\r\n";
  body.resize(bodyLength);
  return body;
}

void BM_Engine(benchmark::State& state) {
  CTAVSMTPMessage message;
  message.from = CTAVSMTPAddress("", "a@b");
  message.AppendRecipient(CTAVSMTPAddress("", "c@d"), CTAVSMTPMessage::RecipientTo);
  message.subject = "bench";
  message.SetBody(Body());
  for (auto _ : state) {
    CTAVSMTPConnection connection;
    connection.SetHeloHostname("bench");
    connection.Connect("127.0.0.1", AuthNone, "", "", sink->Port(), false);
    for (int i = 0; i < messagesPerRun; ++i) connection.SendMailMessage(message);
    connection.Disconnect(true);
  }
  state.SetItemsProcessed(state.iterations() * messagesPerRun);
}

void BM_SmtpSource(benchmark::State& state) {
  const std::vector<std::string> argv{
      sourceProgram, "-s", "1", "-m", std::to_string(messagesPerRun), "-d",
      "-l", std::to_string(bodyLength), "-f", "a@b", "-t", "c@d", "-M", "bench",
      "127.0.0.1:" + std::to_string(sink->Port())};
  for (auto _ : state) {
    std::string log;
    if (RunCommand(argv, &log) != 0) {
      state.SkipWithError(("smtp-source failed: " + log).c_str());
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * messagesPerRun);
}

BENCHMARK(BM_Engine)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(10);
BENCHMARK(BM_SmtpSource)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(10);

// The console report, which also keeps each benchmark's median messages per second.
class RateReporter : public benchmark::ConsoleReporter {
 public:
  // Colours only on a terminal.
  RateReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_None) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      auto rate = run.counters.find("items_per_second");
      if (run.aggregate_name == "median" && rate != run.counters.end()) {
        rates[run.run_name.function_name] = rate->second.value;
      }
    }
  }
  std::map<std::string, double> rates;
};

}  // namespace

int main(int argc, char** argv) {
  // Flags given on the command line come later and win.
  std::vector<char*> arguments{argv[0], const_cast<char*>("--benchmark_enable_random_interleaving=true")};
  arguments.insert(arguments.end(), argv + 1, argv + argc);
  int count = static_cast<int>(arguments.size());
  benchmark::Initialize(&count, arguments.data());
  try {
    sink = std::make_unique<ServerProcess>(SinkCommand);
  } catch (const std::runtime_error& e) {
    std::fprintf(stderr, "smtp-sink did not start: %s\n", e.what());
    return 1;
  }
  RateReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  sink.reset();
  auto engine = reporter.rates.find("BM_Engine");
  auto source = reporter.rates.find("BM_SmtpSource");
  if (engine != reporter.rates.end() && source != reporter.rates.end()) {
    std::printf("engine %.0f msgs/s, smtp-source %.0f msgs/s, ratio %.2f\n", engine->second,
                source->second, engine->second / source->second);
  }
  return 0;
}
