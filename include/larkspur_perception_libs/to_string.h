// Text of containers through the same call as numbers: std::to_string.
//
// Elements are written one after another with no brackets; the list forms put
// ", " after every element, the last one included:
//   std::to_string(std::vector<int>{1, -2})        == "1, -2, "
//   std::to_string(std::vector<bool>{true, false}) == "True  False"
//   std::to_string(std::map<std::string, int>{{"b", 2}, {"a", 1}}) == "\na = 1\nb = 2\n"
// Floats and doubles use the "%f" form of the standard overloads.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace std {

string to_string(const vector<bool>& values);
string to_string(const string& text);
string to_string(const vector<string>& values);
string to_string(const vector<float>& values);
string to_string(const vector<int>& values);
string to_string(const vector<double>& values);
string to_string(const map<string, int>& values);

}  // namespace std
