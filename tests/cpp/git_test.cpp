#include "git.hpp"
#include "prerequisite.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "path.hpp"
#include "scoped_env.hpp"

using namespace vesk;
namespace fs = std::filesystem;
using fixture::write_file;
using Paths = std::vector<std::string>;

// Real repositories, made by the git program (the module itself never runs git).
static bool run_git(const std::string& args) { return std::system(("git " + args + " >/dev/null 2>&1").c_str()) == 0; }

TEST(PathTest, JoinAndParent) {
  const std::tuple<std::string, std::string, std::string> joins[] = {
      {"/a", "b", "/a/b"}, {"/a/", "b", "/a/b"}, {"", "b", "b"},
      {"/a", "/c", "/c"},  {"a/./", "../b", "a/./../b"}, {"/a", "", "/a/"},
  };
  for (const auto& [p, q, out] : joins) EXPECT_EQ(path::join(p, q), out) << p << " + " << q;

  const std::pair<std::string, std::optional<std::string>> parents[] = {
      {"/a/b", "/a"}, {"/a/b/", "/a"}, {"/a/./b", "/a"}, {"/a//b", "/a"}, {"a//b/c", "a//b"},
      {"/a", "/"},    {"a", ""},       {"./a", "."},     {"a/b/.", "a"},  {"/a/..", "/a"},
      {"/", std::nullopt}, {"", std::nullopt},
  };
  for (const auto& [p, out] : parents) EXPECT_EQ(path::parent(p), out) << p;
}

TEST(PathTest, StripPrefixAndLexicalNormal) {
  const std::tuple<std::string, std::string, std::optional<std::string>> strips[] = {
      {"/r/sub/.vesk", "/r", "sub/.vesk"}, {"/r/./sub//.vesk", "/r/", "sub/.vesk"},
      {"/r/.vesk", "/r/.vesk", ""},        {"/rx/.vesk", "/r", std::nullopt},
  };
  for (const auto& [p, base, out] : strips) EXPECT_EQ(path::strip_prefix(p, base), out) << p;

  const std::pair<std::string, std::string> normals[] = {
      {"/repo/.git/worktrees/wt/../..", "/repo/.git"}, {"/a/./b/", "/a/b"},
      {"/..", "/.."},   {"a/../..", ".."}, {"a/b/../../..", ".."},
      {"../../x", "x"},  // a ".." removes an earlier ".." too
      {"/a/../../b", "/../b"},  // ".." above the root is kept
  };
  for (const auto& [p, out] : normals) EXPECT_EQ(path::lexically_normal(p), out) << p;
}

TEST(GitTest, WorktreeRootIsTheNearestDirectoryWithDotGit) {
  fixture::TempDir tmp;
  fs::create_directories(tmp / "a/b/c");
  fs::create_directory(tmp / "a/.git");
  EXPECT_EQ(git::worktree_root(tmp / "a/b/c"), tmp / "a");
  fs::create_symlink(tmp / "nowhere", tmp / "a/b/.git");  // dangling: does not count
  EXPECT_EQ(git::worktree_root(tmp / "a/b/c"), tmp / "a");
  write_file(tmp / "a/b/c/.git", "anything");  // a file counts, whatever it holds
  EXPECT_EQ(git::worktree_root(tmp / "a/b/c/"), tmp / "a/b/c/");
}

TEST(GitTest, CommonDirFromHandWrittenDotGitFiles) {
  fixture::TempDir tmp;
  const std::string t = tmp.path();
  write_file(t + "/repo/.git/worktrees/wt/commondir", "../..\n");
  fs::create_directories(t + "/plain");
  write_file(t + "/rel/gd/commondir", " ../common \n");
  const std::pair<std::string, std::optional<std::string>> rows[] = {
      {"gitdir: " + t + "/repo/.git/worktrees/wt\n", t + "/repo/.git"},
      {"\xe3\x80\x80gitdir:" + t + "/repo/.git/worktrees/wt\xc2\xa0", t + "/repo/.git"},
      {"gitdir " + t + "/repo/.git/worktrees/wt\n", std::nullopt},
      {"gitdir: " + t + "/plain\n", t + "/plain"},         // no commondir: the git dir itself
      {"gitdir: ../rel/gd", t + "/rel/common"},            // relative to the root
      {"gitdir: " + t + "/plain/./x/..", t + "/plain"},    // normalised lexically
      {"gitdir: \xff", std::nullopt},                       // not UTF-8: absent
  };
  for (const auto& [text, expected] : rows) {
    write_file(t + "/root/.git", text);
    EXPECT_EQ(git::common_dir(t + "/root"), expected) << text;
  }
  // A link is followed, as git follows it (FIFOs and devices: through the module).
  fs::remove(t + "/root/.git");
  write_file(t + "/dotgit", "gitdir: " + t + "/plain\n");
  fs::create_symlink(t + "/dotgit", t + "/root/.git");
  EXPECT_EQ(git::common_dir(t + "/root"), t + "/plain");
  fs::remove(t + "/root/.git");
  fs::create_directory(t + "/root/.git");
  EXPECT_EQ(git::common_dir(t + "/root/./"), t + "/root/./.git");  // a directory is taken as it is
}

TEST(GitTest, SiblingsOfRealWorktrees) {
  if (!run_git("--version")) VESK_MISSING() << "git is not installed";
  fixture::TempDir tmp;
  const std::string main = tmp / "main";
  const std::string w = tmp / "w";
  ASSERT_TRUE(run_git("init -q " + main) &&
              run_git("-C " + main + " -c user.name=t -c user.email=t@t commit -q --allow-empty -m init"));
  EXPECT_EQ(git::sibling_worktrees(main), Paths{});  // no worktrees directory yet
  for (const char* name : {"zz", "a-b", "a/b"}) {
    ASSERT_TRUE(run_git("-C " + main + " worktree add -q --detach " + w + "/" + name));
  }

  // Sorted by component ("a" before "a-b"), the worktree itself left out however it is spelled.
  EXPECT_EQ(git::sibling_worktrees(main), (Paths{w + "/a/b", w + "/a-b", w + "/zz"}));
  EXPECT_EQ(git::sibling_worktrees(w + "/zz/"), (Paths{main, w + "/a/b", w + "/a-b"}));

  // A deleted linked worktree whose metadata remains is left out.
  fs::remove_all(w + "/a-b");
  EXPECT_EQ(git::sibling_worktrees(main), (Paths{w + "/a/b", w + "/zz"}));

  // A copy of a worktree's .git file elsewhere: that root is not listed, so no siblings.
  fs::create_directories(tmp / "stale");
  fs::copy_file(w + "/zz/.git", tmp / "stale/.git");
  EXPECT_EQ(git::common_dir(tmp / "stale"), main + "/.git");
  EXPECT_EQ(git::sibling_worktrees(tmp / "stale"), Paths{});
}
