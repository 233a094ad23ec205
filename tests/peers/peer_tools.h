#pragma once
// Plumbing of the peer read-back tests: running lorvane-cli build-iso in-process, running the peer ISO
// readers as child processes, and taking snapshots of extracted folders.

#include "cli/cli.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

extern char** environ;

namespace lorvane::peers {

namespace fs = std::filesystem;

// Debian's pycdlib is installed for the system interpreter only.
inline constexpr const char* kPython = "/usr/bin/python3";

struct ToolRun {
    int status = -1; // the exit status; -1 when the program could not be started or did not exit
    std::string out;
    std::string err;
};

inline std::string ReadBytes(const fs::path& path, std::uint64_t offset = 0,
                             std::uint64_t length = UINT64_MAX) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    in.seekg(static_cast<std::streamoff>(offset));
    if (length == UINT64_MAX) return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::string bytes(length, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(length));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

// Runs argv[0] (searched in PATH) with stdin from /dev/null; its output goes through files in scratch,
// so a chatty tool can never fill a pipe and stall.
inline ToolRun RunProgram(const std::vector<std::string>& argv, const fs::path& scratch) {
    ToolRun run;
    const fs::path outFile = scratch / "tool.out", errFile = scratch / "tool.err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t child = 0;
    const int spawned = posix_spawnp(&child, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return run;
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return run;
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = ReadBytes(outFile);
    run.err = ReadBytes(errFile);
    return run;
}

inline bool HaveProgram(std::string_view name) {
    const char* path = std::getenv("PATH");
    std::istringstream folders(path ? path : "/usr/bin:/bin");
    for (std::string folder; std::getline(folders, folder, ':');)
        if (!folder.empty() && access((fs::path(folder) / name).c_str(), X_OK) == 0) return true;
    return false;
}

inline bool HavePycdlib(const fs::path& scratch) {
    return access(kPython, X_OK) == 0 && RunProgram({kPython, "-c", "import pycdlib"}, scratch).status == 0;
}

// lorvane-cli with the given arguments, in-process.
inline ToolRun RunLorvaneCli(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    ToolRun run;
    run.status = cli::RunCli(args, out, err);
    run.out = out.str();
    run.err = err.str();
    return run;
}

// One name of a tree as a reader shows it: a folder, or a file with its size and (when the reader gave
// them) its bytes.
struct Node {
    bool folder = false;
    std::uint64_t size = 0;
    std::optional<std::string> bytes;
};
// Relative path ("/"-separated, no leading "/") -> node; the root is not listed.
using Tree = std::map<std::string, Node>;

// Everything below root, with the bytes of every file.
inline Tree Snapshot(const fs::path& root) {
    Tree tree;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(root, error); !error && it != fs::end(it);
         it.increment(error)) {
        const std::string relative = fs::relative(it->path(), root).string();
        if (it->is_directory()) {
            tree[relative] = Node{true, 0, std::nullopt};
        } else {
            std::string bytes = ReadBytes(it->path());
            const std::uint64_t size = bytes.size();
            tree[relative] = Node{false, size, std::move(bytes)};
        }
    }
    return tree;
}

// Adds one failure per name that differs, so a mismatch reads as a short list rather than a dump.
// Bytes are compared only where both sides have them.
inline void ExpectSameTree(const Tree& expected, const Tree& actual, const std::string& reader) {
    SCOPED_TRACE(reader);
    for (const auto& [path, node] : expected) {
        const auto found = actual.find(path);
        if (found == actual.end()) {
            ADD_FAILURE() << reader << " does not show " << path;
            continue;
        }
        EXPECT_EQ(found->second.folder, node.folder) << path;
        if (node.folder || found->second.folder) continue;
        EXPECT_EQ(found->second.size, node.size) << path;
        if (node.bytes && found->second.bytes && *node.bytes != *found->second.bytes)
            ADD_FAILURE() << reader << " reads other bytes for " << path;
    }
    for (const auto& [path, node] : actual)
        if (!expected.contains(path)) ADD_FAILURE() << reader << " shows an unexpected " << path;
}

// The lines of a text.
inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

} // namespace lorvane::peers
