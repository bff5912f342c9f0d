#pragma once

// The shared test data for the C++ tests, found as tools/corpora.py and tests/support/shared_data.py
// find it: a `shared` folder beside the repository or beside one of its parent folders (a worktree
// may sit deeper than the main checkout).

#include <filesystem>
#include <optional>

namespace test_support {

// `relative` (such as "testdata/jsontestsuite") inside the nearest shared folder that has it.
inline std::optional<std::filesystem::path> FindShared(const std::filesystem::path& relative) {
  const std::filesystem::path repository =
      std::filesystem::path(__FILE__).parent_path().parent_path().parent_path().lexically_normal();
  for (std::filesystem::path base = repository.parent_path();; base = base.parent_path()) {
    const std::filesystem::path candidate = base / "shared" / relative;
    if (std::filesystem::exists(candidate)) return candidate;
    if (base == base.parent_path()) return std::nullopt;
  }
}

}  // namespace test_support
