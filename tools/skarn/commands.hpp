// The subcommands of the skarn tool, one source file each; `args` are the
// words after the subcommand's name.
#pragma once

#include <span>

namespace skarn_cli {

int run_info(std::span<char *const> args);
int run_find(std::span<char *const> args);
int run_dump(std::span<char *const> args);
int run_edit(std::span<char *const> args);
int run_recover(std::span<char *const> args);
int run_journals(std::span<char *const> args);
int run_view(std::span<char *const> args);

}  // namespace skarn_cli
