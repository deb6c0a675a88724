// Path texts as the key lookup and the git reader treat them: joined without
// normalising, compared and ordered component by component.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "result.hpp"

namespace vesk::path {

enum class ComponentKind { Root, CurDir, ParentDir, Normal };  // declared in sort order

struct Component {
  ComponentKind kind;
  std::string_view text;
  std::size_t end;  // offset just past this component in the path text
};

// The components of a path: a leading "/" is the root, a "." counts only as the
// first component of a relative path, empty components are dropped.
std::vector<Component> components(std::string_view p);

bool is_absolute(std::string_view p);

// P joined with Q: Q when Q is absolute, else P + "/" (unless P is empty or
// already ends in "/") + Q. Nothing is normalised.
std::string join(std::string_view p, std::string_view q);

// The path without its last component; none for "/" and the empty path.
std::optional<std::string> parent(std::string_view p);

// The last component's text when it is a name (not the root, "." or "..").
std::optional<std::string> file_name(std::string_view p);

bool equal(std::string_view a, std::string_view b);
bool less(std::string_view a, std::string_view b);

// The components of `p` after those of `base`, joined by "/"; none when `base`
// is not a component-wise prefix of `p`.
std::optional<std::string> strip_prefix(std::string_view p, std::string_view base);

// Drops "." and folds ".." into its predecessor, by text alone (no links followed).
std::string lexically_normal(std::string_view p);

// Creates `p` and every missing ancestor. New directories get `mode` (before the
// umask) at creation, so they are never briefly more open than that.
Result<void, IoError> create_dir_all(const std::string& p, unsigned mode);

}  // namespace vesk::path
