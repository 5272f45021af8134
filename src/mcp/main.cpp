// vantorel-mcp: the MCP server the agents start. It reads no arguments and
// no settings at start; standard output carries only response lines and
// nothing is ever written to standard error.
#include "mcp/frame.h"

#include <csignal>
#include <unistd.h>

int main() {
    // A client that goes away mid-answer must not kill the server with
    // SIGPIPE; the loop ends when its input does.
    std::signal(SIGPIPE, SIG_IGN);
    return vantorel::VantorelMCPMain::run(STDIN_FILENO, STDOUT_FILENO);
}
