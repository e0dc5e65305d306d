"""Drive terminal programs from an agent: programs started with arguments,
replies that say why they ended, and an asyncio front end.

Built on the `morvik` module's one class, `Morvik`, which stays as it is.
"""

from morvik_agent.aio import AsyncTerminal
from morvik_agent.terminal import Reply, Status, Terminal, resolve_program

__all__ = ["AsyncTerminal", "Reply", "Status", "Terminal", "resolve_program"]
