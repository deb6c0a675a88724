// tests/cpp/data/integrity_vectors.txt, written by tests/gen_integrity_vectors.py
// from its own implementation: cases of "field value" lines, each case
// starting with a "case" line.
#pragma once

#include <fstream>
#include <map>
#include <string>
#include <vector>

inline std::vector<std::map<std::string, std::string>> integrity_vectors() {
  std::ifstream in(std::string(VESK_SOURCE_DIR) + "/tests/cpp/data/integrity_vectors.txt");
  std::vector<std::map<std::string, std::string>> cases;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    if (line.starts_with("case ")) cases.emplace_back();
    if (!cases.empty()) cases.back()[line.substr(0, line.find(' '))] = line.substr(line.find(' ') + 1);
  }
  return cases;
}
