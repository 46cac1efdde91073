#ifndef RADODARO_CLI_TOOL_H_
#define RADODARO_CLI_TOOL_H_

namespace radodaro {

// The usage text of /e and /p, printed exactly as it always was.
extern const char kUsageText[];

// The whole program but the final flush of standard output: checks the
// command line, runs one mode and returns the exit status, 0 or -1.
int run_tool(int argc, const char* const* argv);

}  // namespace radodaro

#endif  // RADODARO_CLI_TOOL_H_
