"""Drive terminal programs from an agent: programs started with arguments,
replies that say why they ended, an asyncio front end and an MCP server
(`morvik-mcp`, which needs the optional extra ``morvik[mcp]``).

Built on the `morvik` module's one class, `Morvik`, which stays as it is.
"""

from morvik_agent.aio import AsyncTerminal
from morvik_agent.terminal import Reply, Status, Terminal, resolve_program

__all__ = ["AsyncTerminal", "Reply", "Status", "Terminal", "resolve_program"]
