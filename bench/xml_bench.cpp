// CXmlNavigator::ParseText, and parsing then reading every item's attributes, against pugixml on
// the same ~20 MB UTF-16 document: many small elements with attributes, like a pop-up schedule.
// Prints MB/s of both and their ratio for each.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <pugixml.hpp>
#include <set>
#include <string>

#include "xml/xml_navigator.h"

namespace {

std::u16string Widen(const std::string& text) {
  return {text.begin(), text.end()};
}

// About 20 MB of UTF-16: one <item> of seven attributes per pop-up, some with text.
const std::u16string& ScheduleDocument() {
  static const std::u16string document = [] {
    constexpr std::size_t kTargetUnits = 10 * 1024 * 1024;
    std::u16string text =
        u"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n<response>\r\n  <popups delay=\"30\">\r\n";
    for (unsigned id = 1; text.size() < kTargetUnits; ++id) {
      const std::u16string n = Widen(std::to_string(id));
      text += u"    <item id=\"" + n + u"\" url=\"http://pop.vexo.example/p/" + n +
              u"?from=agent&amp;v=1.0.6\" times=\"" + Widen(std::to_string(id % 5 + 1)) +
              u"\" width=\"250\" height=\"180\" delay='" + Widen(std::to_string(id % 600)) +
              u"' title=\"\u65e5\u7a0b\u63d0\u9192 " + n + u"\"";
      if (id % 4 == 0) {
        text += u"><note>\u4eca\u5929 &lt;" + n + u"&gt;</note></item>\r\n";
      } else {
        text += u"/>\r\n";
      }
    }
    text += u"  </popups>\r\n</response>\r\n";
    return text;
  }();
  return document;
}

void SetThroughput(benchmark::State& state) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(ScheduleDocument().size() * sizeof(char16_t)));
}

void BM_VexoParseText(benchmark::State& state) {
  const std::u16string& document = ScheduleDocument();
  vexo::CXmlNavigator navigator;
  for (auto _ : state) {
    benchmark::DoNotOptimize(navigator.ParseText(document));
  }
  if (!navigator.IsWellFormed()) {
    state.SkipWithError("the document did not parse");
  }
  SetThroughput(state);
}
BENCHMARK(BM_VexoParseText)->Unit(benchmark::kMillisecond);

void BM_PugixmlLoadUtf16(benchmark::State& state) {
  const std::u16string& document = ScheduleDocument();
  for (auto _ : state) {
    pugi::xml_document parsed;
    const pugi::xml_parse_result result =
        parsed.load_buffer(document.data(), document.size() * sizeof(char16_t), pugi::parse_default,
                           pugi::encoding_utf16_le);
    benchmark::DoNotOptimize(result.status);
    if (!result) {
      state.SkipWithError("the document did not parse");
    }
  }
  SetThroughput(state);
}
BENCHMARK(BM_PugixmlLoadUtf16)->Unit(benchmark::kMillisecond);

// Parsing and then reading what the agent reads: every item's attributes, walked in order.
void BM_VexoReadSchedule(benchmark::State& state) {
  const std::u16string& document = ScheduleDocument();
  vexo::CXmlNavigator navigator;
  std::size_t units = 0;
  for (auto _ : state) {
    navigator.ParseText(document);
    navigator.FindElement(u"response");
    navigator.EnterElement();
    navigator.FindElement(u"popups");
    navigator.EnterElement();
    while (navigator.FindElement(u"item")) {
      const int item = navigator.CurrentPos();
      for (const char16_t* name : {u"id", u"url", u"times", u"delay", u"title"}) {
        units += navigator.GetAttribute(item, name).size();
      }
    }
  }
  benchmark::DoNotOptimize(units);
  SetThroughput(state);
}
BENCHMARK(BM_VexoReadSchedule)->Unit(benchmark::kMillisecond);

void BM_PugixmlReadSchedule(benchmark::State& state) {
  const std::u16string& document = ScheduleDocument();
  std::size_t bytes = 0;
  for (auto _ : state) {
    pugi::xml_document parsed;
    parsed.load_buffer(document.data(), document.size() * sizeof(char16_t), pugi::parse_default,
                       pugi::encoding_utf16_le);
    for (const pugi::xml_node& item : parsed.child("response").child("popups").children("item")) {
      for (const char* name : {"id", "url", "times", "delay", "title"}) {
        bytes += std::strlen(item.attribute(name).value());
      }
    }
  }
  benchmark::DoNotOptimize(bytes);
  SetThroughput(state);
}
BENCHMARK(BM_PugixmlReadSchedule)->Unit(benchmark::kMillisecond);

// Keeps the throughput of each benchmark for the closing comparison.
class ComparingReporter : public benchmark::ConsoleReporter {
 public:
  // With repetitions the median stands for the benchmark, else its one run.
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const auto rate = run.counters.find("bytes_per_second");
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (rate == run.counters.end() || (run.run_type != Run::RT_Iteration && !median)) {
        continue;
      }
      const std::string& name = run.run_name.function_name;
      if (median || !fromMedian_.count(name)) {
        megabytesPerSecond_[name] = rate->second.value / 1e6;
      }
      if (median) {
        fromMedian_.insert(name);
      }
    }
  }

  void PrintComparison(const char* what, const char* ours, const char* theirs) const {
    const auto vexo = megabytesPerSecond_.find(ours);
    const auto pugi = megabytesPerSecond_.find(theirs);
    if (vexo == megabytesPerSecond_.end() || pugi == megabytesPerSecond_.end()) {
      return;
    }
    std::printf("%s, %.1f MB UTF-16: CXmlNavigator %.0f MB/s, pugixml %.0f MB/s, ratio %.2f\n",
                what, static_cast<double>(ScheduleDocument().size() * sizeof(char16_t)) / 1e6,
                vexo->second, pugi->second, vexo->second / pugi->second);
  }

 private:
  std::map<std::string, double> megabytesPerSecond_;
  std::set<std::string> fromMedian_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  ComparingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\n");
  reporter.PrintComparison("XML parse", "BM_VexoParseText", "BM_PugixmlLoadUtf16");
  reporter.PrintComparison("XML parse and read every item", "BM_VexoReadSchedule",
                           "BM_PugixmlReadSchedule");
  benchmark::Shutdown();
  return 0;
}
