"""Drive terminal programs from an agent: programs started with an exact
argument vector, replies that say why they ended (the program waits for
input, went quiet, ended and how), keys, control from any thread, an asyncio
front end and an MCP server (`morvik-mcp`, which needs the optional extra
``morvik[mcp]``).

Built on its own native core, `morvik_agent._terminal`, from the same C++
layers as the `morvik` module, which stays as it is.
"""

from morvik_agent.aio import AsyncTerminal
from morvik_agent.search import Hit
from morvik_agent.terminal import KEY_NAMES, Change, Reply, Screen, Status, Terminal, resolve_program

__all__ = ["KEY_NAMES", "AsyncTerminal", "Change", "Hit", "Reply", "Screen", "Status", "Terminal", "resolve_program"]
