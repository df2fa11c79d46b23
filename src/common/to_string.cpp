#include "larkspur_perception_libs/to_string.h"

namespace {

// Each element's text followed by ", ".
template <typename T, typename Text>
std::string JoinWithTrailingComma(const std::vector<T>& values, Text text) {
  std::string result;
  for (const T& value : values) {
    result += text(value);
    result += ", ";
  }
  return result;
}

}  // namespace

namespace std {

string to_string(const vector<bool>& values) {
  string result;
  for (const bool value : values) result += value ? "True  " : "False";
  return result;
}

string to_string(const string& text) { return text; }

string to_string(const vector<string>& values) {
  return JoinWithTrailingComma(values, [](const string& value) { return value; });
}

string to_string(const vector<float>& values) {
  return JoinWithTrailingComma(values, [](float value) { return to_string(value); });
}

string to_string(const vector<int>& values) {
  return JoinWithTrailingComma(values, [](int value) { return to_string(value); });
}

string to_string(const vector<double>& values) {
  return JoinWithTrailingComma(values, [](double value) { return to_string(value); });
}

string to_string(const map<string, int>& values) {
  string result = "\n";
  for (const auto& [key, value] : values) result += key + " = " + to_string(value) + "\n";
  return result;
}

}  // namespace std
