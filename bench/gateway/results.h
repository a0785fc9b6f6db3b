// The benchmark's figures: a table on standard output and the same in a JSON file.
#pragma once

#include <json-c/json.h>

#include <optional>
#include <string>
#include <vector>

namespace bench {

struct Figure {
  std::string key;    // JSON name
  std::string label;  // table text
  double value = 0;
  std::string unit;
  std::string goal;          // "" when the figure has no goal
  std::optional<bool> met;   // whether the goal is met
  std::string conditions;    // how it was measured
};

class Results {
 public:
  Results();
  ~Results();
  Results(const Results &) = delete;
  Results &operator=(const Results &) = delete;

  void add(Figure figure) { figures_.push_back(std::move(figure)); }
  // Extra detail kept in the JSON file only (takes the object).
  void detail(const char *key, json_object *value);
  void print_table() const;
  bool write_json(const std::string &path) const;

 private:
  std::vector<Figure> figures_;
  json_object *details_;
};

}  // namespace bench
