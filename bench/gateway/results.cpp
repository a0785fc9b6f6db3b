#include "results.h"

#include <cstdio>

namespace bench {

Results::Results() : details_(json_object_new_object()) {}

Results::~Results() { json_object_put(details_); }

void Results::detail(const char *key, json_object *value) { json_object_object_add(details_, key, value); }

void Results::print_table() const {
  std::printf("\n%-44s %12s  %-8s %-12s %s\n", "figure", "value", "unit", "goal", "met");
  std::printf("%s\n", std::string(88, '-').c_str());
  for (const Figure &f : figures_) {
    const char *met = !f.met ? "" : *f.met ? "yes" : "NO";
    std::printf("%-44s %12.2f  %-8s %-12s %s\n", f.label.c_str(), f.value, f.unit.c_str(), f.goal.c_str(), met);
  }
  std::printf("\n");
  for (const Figure &f : figures_)
    if (!f.conditions.empty()) std::printf("  %s: %s\n", f.label.c_str(), f.conditions.c_str());
}

bool Results::write_json(const std::string &path) const {
  json_object *root = json_object_new_object();
  json_object *figures = json_object_new_object();
  for (const Figure &f : figures_) {
    json_object *figure = json_object_new_object();
    json_object_object_add(figure, "label", json_object_new_string(f.label.c_str()));
    json_object_object_add(figure, "value", json_object_new_double(f.value));
    json_object_object_add(figure, "unit", json_object_new_string(f.unit.c_str()));
    if (!f.goal.empty()) json_object_object_add(figure, "goal", json_object_new_string(f.goal.c_str()));
    if (f.met) json_object_object_add(figure, "met", json_object_new_boolean(*f.met));
    if (!f.conditions.empty()) json_object_object_add(figure, "conditions", json_object_new_string(f.conditions.c_str()));
    json_object_object_add(figures, f.key.c_str(), figure);
  }
  json_object_object_add(root, "figures", figures);
  json_object_object_add(root, "details", json_object_get(details_));
  const int written = json_object_to_file_ext(path.c_str(), root, JSON_C_TO_STRING_PRETTY | JSON_C_TO_STRING_SPACED);
  json_object_put(root);
  return written == 0;
}

}  // namespace bench
