// Reading a git repository's metadata files to find worktrees; no git program
// is run and no git configuration is read.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vesk::git {

// The nearest of `dir` and its ancestors holding an entry ".git" (links
// followed), as given, not normalised.
std::optional<std::string> worktree_root(std::string_view dir);

// The repository's common directory seen from a worktree root: "<root>/.git"
// when that is a directory, else the target of the ".git" file's "gitdir:"
// line (or its "commondir"), lexically normalised.
std::optional<std::string> common_dir(std::string_view root);

// The other worktrees of root's repository: the main worktree first, then the
// linked ones in path order. Empty when root is not a listed worktree or when
// anything cannot be read.
std::vector<std::string> sibling_worktrees(std::string_view root);

}  // namespace vesk::git
