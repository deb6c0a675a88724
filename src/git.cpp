#include "git.hpp"

#include <dirent.h>

#include <algorithm>

#include "path.hpp"
#include "unicode.hpp"

namespace vesk::git {
namespace {

constexpr std::string_view kGitdirPrefix = "gitdir:";  // exact: lower case, no blank

// A whole metadata file as UTF-8 text; anything else reads as absent. Links
// are followed, as git follows them, but only a regular file is read: a FIFO
// or a device named ".git" (anyone may plant one in /tmp) must neither block
// nor be read without end.
std::optional<std::string> read_text(const std::string& p) {
  auto text = path::read_small_file(p);
  if (!text || !unicode::is_valid_utf8(*text)) return std::nullopt;
  return text;
}

// The target named by a ".git" file, resolved against the worktree root.
std::optional<std::string> gitdir_of_file(std::string_view root, const std::string& dotgit) {
  const auto text = read_text(dotgit);
  if (!text) return std::nullopt;
  const std::string_view t = unicode::trim_view(*text);
  if (t.size() < kGitdirPrefix.size() || !t.starts_with(kGitdirPrefix)) return std::nullopt;
  return path::join(root, unicode::trim_view(t.substr(kGitdirPrefix.size())));
}

}  // namespace

std::optional<std::string> worktree_root(std::string_view dir) {
  std::string d(dir);
  for (;;) {
    if (path::exists(path::join(d, ".git"))) return d;
    auto up = path::parent(d);
    if (!up) return std::nullopt;
    d = std::move(*up);
  }
}

std::optional<std::string> common_dir(std::string_view root) {
  const std::string dotgit = path::join(root, ".git");
  if (path::is_dir(dotgit)) return dotgit;
  const auto gitdir = gitdir_of_file(root, dotgit);
  if (!gitdir) return std::nullopt;
  std::string common = *gitdir;
  if (const auto text = read_text(path::join(*gitdir, "commondir"))) {
    common = path::join(*gitdir, unicode::trim_view(*text));
  }
  return path::lexically_normal(common);
}

namespace {

// The roots named by <common>/worktrees/*/gitdir, in listing order.
std::vector<std::string> listed_worktrees(const std::string& common) {
  std::vector<std::string> linked;
  const std::string dir = path::join(common, "worktrees");
  DIR* listing = ::opendir(dir.c_str());
  if (listing == nullptr) return linked;
  while (const dirent* entry = ::readdir(listing)) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    const auto text = read_text(path::join(path::join(dir, name), "gitdir"));
    if (!text) continue;
    // gitdir names the worktree's ".git" file; its parent is the worktree root.
    if (auto root = path::parent(unicode::trim_view(*text))) linked.push_back(std::move(*root));
  }
  ::closedir(listing);
  return linked;
}

std::optional<std::string> main_worktree(const std::string& common) {
  if (path::file_name(common) != ".git") return std::nullopt;  // bare: no main worktree
  return path::parent(common);
}

}  // namespace

std::vector<std::string> sibling_worktrees(std::string_view root) {
  const auto common = common_dir(root);
  if (!common) return {};
  const auto main = main_worktree(*common);
  std::vector<std::string> linked = listed_worktrees(*common);
  std::stable_sort(linked.begin(), linked.end(),
                   [](const std::string& a, const std::string& b) { return path::less(a, b); });
  const auto is_root = [&](const std::string& c) { return path::equal(c, root); };
  // A root the repository does not list (a stale gitdir line) gets no siblings.
  if (!(main && is_root(*main)) && std::none_of(linked.begin(), linked.end(), is_root)) return {};
  std::vector<std::string> candidates;
  if (main) candidates.push_back(*main);
  candidates.insert(candidates.end(), linked.begin(), linked.end());
  std::vector<std::string> siblings;
  for (const std::string& c : candidates) {
    if (is_root(c)) continue;
    const auto theirs = common_dir(c);
    // Only a worktree that points back to the same repository is a sibling.
    if (theirs && path::equal(*theirs, *common)) siblings.push_back(c);
  }
  return siblings;
}

}  // namespace vesk::git
