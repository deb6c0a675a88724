// Real repositories for tests, made by the git program (the module itself
// never runs git).
#pragma once

#include <cstdlib>
#include <string>

namespace vesk::fixture {

inline bool run_quietly(const std::string& cmd) {
  return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0;
}

inline bool have_git() { return run_quietly("git --version"); }

// A repository with one empty commit, so that worktrees can be added.
inline bool git_init(const std::string& dir) {
  return run_quietly("git init -q '" + dir + "'") &&
         run_quietly("git -C '" + dir + "' -c user.name=t -c user.email=t@example.org commit -q --allow-empty -m init");
}

inline bool git_worktree_add(const std::string& main, const std::string& dir) {
  return run_quietly("git -C '" + main + "' worktree add -q --detach '" + dir + "'");
}

}  // namespace vesk::fixture
