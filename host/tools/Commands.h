// The commands of the vexora program beyond speak and run, and the pieces
// they share with them (VexoraMain.cpp).
#pragma once

#include <string>

#include "CliOptions.h"

namespace VxCli {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// "vexora: MESSAGE" on standard error; kExitFailed.
int Failed(const std::string& message);
// "vexora COMMAND: MESSAGE" on standard error; kExitUsage.
int UsageError(const char* command, const std::string& message);
// The whole file (at most 16 MiB); false with *error.
bool ReadInputFile(const std::string& path, std::string* content, std::string* error);
// `root` is a directory with conf/vexora.xml; false with *error.
bool CheckRootTree(const std::string& root, std::string* error);
// A Completion-Cause as its three digits: "001".
std::string CauseText(int cause);
// "normal", "barge-in", ... for a Completion-Cause; "unknown" beyond them.
const char* CauseName(int cause);

int Load(const LoadOptions& options);    // LoadCommand.cpp
int Check(const CheckOptions& options);  // CheckCommand.cpp

}  // namespace VxCli
