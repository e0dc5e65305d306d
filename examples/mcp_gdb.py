"""Find a crash with gdb through the MCP server, as a model would.

Starts `morvik-mcp` (here as `python -m morvik_agent.mcp`, the same program)
with the SDK's stdio client, restricted to gdb by `--allow`, and uses its
tools alone: start gdb on a small C program that dereferences a null
pointer, run it, read the faulting line from gdb's report, ask for the
variables there, and close. Each tool call and its reply is printed.
"""

import asyncio
import os
import re
import subprocess
import sys
import tempfile
from typing import Any

from mcp import ClientSession, StdioServerParameters
from mcp.client.stdio import stdio_client
from mcp.types import TextContent

SOURCE = """\
#include <stdio.h>
#include <stddef.h>

struct node { int value; struct node *next; };

static int sum(struct node *list, int count)
{
    int total = 0;
    for (int i = 0; i < count; i++) {
        total += list->value;
        list = list->next;
    }
    return total;
}

int main(void)
{
    struct node c = {3, NULL}, b = {2, &c}, a = {1, &b};
    printf("sum = %d\\n", sum(&a, 4));
    return 0;
}
"""


def compile_program(workdir: str) -> str:
    source = os.path.join(workdir, "crash.c")
    with open(source, "w") as f:
        f.write(SOURCE)
    binary = os.path.join(workdir, "crash")
    subprocess.run(["cc", "-g", "-O0", "-o", binary, source], check=True)
    return binary


async def hunt(binary: str) -> None:
    server = StdioServerParameters(
        command=sys.executable,
        args=["-m", "morvik_agent.mcp", "--allow", "gdb", "--max-output-chars", "2000"],
    )
    async with stdio_client(server) as (read, write), ClientSession(read, write) as session:
        await session.initialize()

        async def call(tool: str, **arguments: Any) -> str:
            print(f">>> {tool} {arguments}")
            result = await session.call_tool(tool, arguments)
            text = "".join(block.text for block in result.content if isinstance(block, TextContent))
            print(text if text.endswith("\n") else text + "\n")
            if result.is_error:
                raise RuntimeError(f"{tool} failed: {text}")
            return text

        # Wide enough that gdb does not wrap a backtrace line.
        started = await call(
            "terminal_start", argv=["gdb", "-q", "-nx", binary], prompts=["(gdb) "], columns=160
        )
        name = re.search(r"as terminal (\w+)", started)
        assert name, started
        gdb = name.group(1)
        crash = await call("terminal_send", terminal=gdb, line="run")
        where = re.search(r"at (\S+\.c):(\d+)\n(\d+)\s+(.*)\n", crash)
        assert where, crash
        i = await call("terminal_send", terminal=gdb, line="print i")
        pointer = await call("terminal_send", terminal=gdb, line="print list")
        await call("terminal_send", terminal=gdb, line="bt")
        await call("terminal_close", terminal=gdb)

    file, line, _, statement = where.groups()
    print(f"faulting line: {file}:{line}: {statement.strip()}")
    print(f"there: i {value(i)}, list {value(pointer)}")


def value(reply: str) -> str:
    found = re.search(r"\$\d+ = (.*)", reply)
    return found.group(1) if found else "?"


def main() -> int:
    with tempfile.TemporaryDirectory() as workdir:
        asyncio.run(hunt(compile_program(workdir)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
