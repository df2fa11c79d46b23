// Runs one fixed series of log statements in a fresh process, so that the
// logger reads the environment this process was started with. Scenarios:
// "mixed" (both forms at both levels, braces in the text, then the next
// count), "count N", "long N" (N digits, printf form), "longfmt N" (N
// digits, fmt form) and "journal" (prints the statement's "<file>:<line>").
#include <cstdio>
#include <cstdlib>
#include <string>

#include "larkspur_perception_libs/logger.h"

int main(int argc, char** argv) {
  const std::string scenario = argc > 1 ? argv[1] : "";
  const int number = argc > 2 ? std::atoi(argv[2]) : 0;
  if (scenario == "mixed") {
    LARKSPUR_LOG_INFO("alpha {}", 1);
    LARKSPUR_LOG_DEBUG("beta {}", 2);
    LARKSPUR_LOGF_INFO("gamma {%d} {:>{}}", 3);
    LARKSPUR_LOGF_DEBUG("delta %.1f", 4.5);
    LARKSPUR_LOG_INFO("epsilon {}", "{0}");
    // `off` is above every level, so this call always advances the count.
    std::printf("next %u\n", unsigned{larkspur::Logger::Instance().GetCount(spdlog::level::off)});
  } else if (scenario == "count") {
    for (int i = 1; i <= number; ++i) {
      LARKSPUR_LOG_DEBUG("hidden {}", i);
      LARKSPUR_LOG_INFO("statement {}", i);
    }
  } else if (scenario == "long" || scenario == "longfmt") {
    std::string text;
    for (int i = 0; i < number; ++i) text += static_cast<char>('0' + i % 10);
    if (scenario == "long") {
      LARKSPUR_LOGF_INFO("%s", text.c_str());
    } else {
      LARKSPUR_LOG_INFO("{}", text);
    }
  } else if (scenario == "journal") {
    const int line = __LINE__ + 1;
    LARKSPUR_LOG_INFO("journal entry {}", 42);
    std::printf("%s:%d\n", __FILE__, line);
  } else {
    std::fprintf(stderr, "unknown scenario '%s'\n", scenario.c_str());
    return 2;
  }
  return 0;
}
