// Runs one fixed series of log statements in a fresh process, so that the
// logger reads the environment this process was started with.
//
//   logger_scenario mixed      info and debug statements in both forms, then
//                              "next <n>": the count a statement at any level
//                              would receive next
//   logger_scenario count N    N info statements, each after a debug one
//   logger_scenario long N     one printf-form statement of N characters
//                              ("0123456789" repeated)
//   logger_scenario braces     braces in printf-form text and in fmt arguments
//   logger_scenario journal    one info statement; prints "<file>:<line>" of it
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "logger.h"

namespace {

void Mixed() {
  LARKSPUR_LOG_INFO("alpha {}", 1);
  LARKSPUR_LOG_DEBUG("beta {}", 2);
  LARKSPUR_LOGF_INFO("gamma %d", 3);
  LARKSPUR_LOGF_DEBUG("delta %.1f", 4.5);
  LARKSPUR_LOG_INFO("epsilon");
  // `off` is above every level, so this call always advances the count.
  const unsigned next = larkspur::Logger::Instance().GetCount(spdlog::level::off);
  std::cout << "next " << next << '\n';
}

void Count(int statements) {
  for (int i = 1; i <= statements; ++i) {
    LARKSPUR_LOG_DEBUG("hidden {}", i);
    LARKSPUR_LOG_INFO("statement {}", i);
  }
}

void Long(int length) {
  std::string text;
  for (int i = 0; i < length; ++i) text += static_cast<char>('0' + i % 10);
  LARKSPUR_LOGF_INFO("%s", text.c_str());
}

void Braces() {
  LARKSPUR_LOGF_INFO("{} {0} {%d} {:>{}}", 5);
  LARKSPUR_LOG_INFO("{} and {}", "{0}", "{");
}

void LogToJournal() {
  const int line = __LINE__ + 1;
  LARKSPUR_LOG_INFO("journal entry {}", 42);
  std::printf("%s:%d\n", __FILE__, line);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string scenario = argc > 1 ? argv[1] : "";
  const int number = argc > 2 ? std::atoi(argv[2]) : 0;
  if (scenario == "mixed") {
    Mixed();
  } else if (scenario == "count") {
    Count(number);
  } else if (scenario == "long") {
    Long(number);
  } else if (scenario == "braces") {
    Braces();
  } else if (scenario == "journal") {
    LogToJournal();
  } else {
    std::fprintf(stderr, "unknown scenario '%s'\n", scenario.c_str());
    return 2;
  }
  return 0;
}
