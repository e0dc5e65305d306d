"""Drive terminal programs from an agent: programs started with arguments
and replies that say why they ended.

Built on the `morvik` module's one class, `Morvik`, which stays as it is.
"""

from morvik_agent.terminal import Reply, Status, Terminal, resolve_program

__all__ = ["Reply", "Status", "Terminal", "resolve_program"]
