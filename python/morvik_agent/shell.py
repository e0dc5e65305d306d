"""Shells that report how each command ended: the start-up files that make
bash, zsh and fish mark their prompts, commands and exit statuses (OSC 133
A, B, C, D;status) and their folder (OSC 7), which the core reads out of
the output (a reply's ``command_exit_code`` and ``cwd``).

Owns: which shell a program is, the private folder each shell terminal's
files live in (made 0700, removed at close or when the start fails), the
files themselves, and the nonce their marks carry.

The hazards:

- A command's output travels with the marks: one that prints a forged
  ``D;0`` must not turn its failure into a success. The shell's own A and D
  marks carry a nonce, random per terminal; the core honours no A or D
  without it, and the others only in the order a shell emits them. The
  nonce reaches the shell in a file of the private folder that the shell
  reads and deletes first thing, before the user's start-up files run: it
  is never in any process's environment or arguments (``/proc`` shows
  those to the user's other programs), and the commands the shell runs
  cannot find it. (A program of the same user that reads the shell's
  memory is out of reach of any such scheme.) fish reads its own
  configuration before ours, so its files run before the nonce is gone.
- What the user sees must not change: the user's files run (bash's
  ``~/.bashrc``; zsh's files, from the user's own ``ZDOTDIR``; fish's
  configuration), their prompt is drawn as they wrote it, with the marks
  wrapped as zero-width escapes, and ``$?`` reaches their own prompt
  hooks unchanged. The hooks start no process: a round trip pays for a
  few builtins, not a fork.
- Nothing of the caller's chooses these files: the folder is made here,
  under the system's temporary folder, for each terminal.
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import tempfile
from typing import NamedTuple

# The shells whose marks are injected; "nu" emits them by itself, as fish
# does from FISH_OWN_MARKS on.
INJECTED = ("bash", "zsh", "fish")
SELF_MARKING = ("nu",)
FISH_OWN_MARKS = (4, 0)
NONCE_BYTES = 16

_BASHRC = r"""# Made by morvik_agent for this terminal only; removed when it closes.
# The nonce first, before anything of the user's runs.
{ IFS= read -r __morvik_nonce <{nonce}; } 2>/dev/null
command rm -f -- {nonce}
# As interactive bash does without --rcfile (it read /etc/bash.bashrc itself).
if [ -f ~/.bashrc ]; then . ~/.bashrc; fi
__morvik_b='\[\033]133;B\a\]'
__morvik_prompt_start() {
  __morvik_status=$?
  local p=${PWD//%/%25}
  p=${p//$'\e'/%1B}; p=${p//$'\a'/%07}; p=${p//$'\x18'/%18}; p=${p//$'\x1a'/%1A}
  printf '\033]133;D;%s;morvik=%s\a\033]7;file://%s%s\a\033]133;A;morvik=%s\a' \
    "$__morvik_status" "$__morvik_nonce" "$HOSTNAME" "$p" "$__morvik_nonce"
  return $__morvik_status
}
__morvik_prompt_end() {
  [[ $PS1 == *"$__morvik_b" ]] || PS1+=$__morvik_b
  return $__morvik_status
}
# The output starts once the command is read: PS0 is shown then (and not
# for an empty line).
PS0+='\033]133;C\a'
if (( BASH_VERSINFO[0] > 5 || (BASH_VERSINFO[0] == 5 && BASH_VERSINFO[1] >= 1) )); then
  PROMPT_COMMAND=(__morvik_prompt_start "${PROMPT_COMMAND[@]}" __morvik_prompt_end)
else
  PROMPT_COMMAND="__morvik_prompt_start
${PROMPT_COMMAND}
__morvik_prompt_end"
fi
"""

_ZSHENV = r"""# Made by morvik_agent for this terminal only; removed when it closes.
{ IFS= read -r __morvik_nonce <{nonce}; } 2>/dev/null
command rm -f -- {nonce}
typeset -g __morvik_zdotdir=$ZDOTDIR
# The user's files, from where the user keeps them.
{restore}
[[ -f ${ZDOTDIR:-$HOME}/.zshenv ]] && source ${ZDOTDIR:-$HOME}/.zshenv
# Theirs, as their .zshenv left it, once ours has read .zshrc.
if (( ${+ZDOTDIR} )); then typeset -g __morvik_user_zdotdir=$ZDOTDIR; else unset __morvik_user_zdotdir; fi
ZDOTDIR=$__morvik_zdotdir
"""

_ZSHRC = r"""# Made by morvik_agent for this terminal only; removed when it closes.
if (( ${+__morvik_user_zdotdir} )); then ZDOTDIR=$__morvik_user_zdotdir; else unset ZDOTDIR; fi
unset __morvik_user_zdotdir __morvik_zdotdir
[[ -f ${ZDOTDIR:-$HOME}/.zshrc ]] && source ${ZDOTDIR:-$HOME}/.zshrc
typeset -g __morvik_b=$'%{\e]133;B\a%}'
__morvik_prompt_start() {
  local s=$? p=${PWD//\%/%25}
  p=${p//$'\e'/%1B}; p=${p//$'\a'/%07}; p=${p//$'\x18'/%18}; p=${p//$'\x1a'/%1A}
  printf '\033]133;D;%s;morvik=%s\a\033]7;file://%s%s\a\033]133;A;morvik=%s\a' \
    $s $__morvik_nonce $HOST $p $__morvik_nonce
  return $s
}
__morvik_prompt_end() {
  [[ $PS1 == *"$__morvik_b" ]] || PS1+=$__morvik_b
}
__morvik_command_start() { printf '\033]133;C\a' }
precmd_functions=(__morvik_prompt_start $precmd_functions __morvik_prompt_end)
preexec_functions+=(__morvik_command_start)
"""

_FISH = r"""# Made by morvik_agent for this terminal only; removed when it closes.
read -g __morvik_nonce <{nonce} 2>/dev/null
command rm -f -- {nonce}
function __morvik_command_start --on-event fish_preexec
    set -g __morvik_ran
    printf '\e]133;C\a'
end
# Only a command line that ran brings this event. A Ctrl-C at the prompt
# may cost the next command its preexec handlers: its start is told here.
function __morvik_command_end --on-event fish_postexec
    set -l s $status
    set -q __morvik_ran; or printf '\e]133;C\a'
    set -e __morvik_ran
    printf '\e]133;D;%s;morvik=%s\a' $s $__morvik_nonce
end
function __morvik_prompt_start --on-event fish_prompt
    set -l p (string replace -a % %25 -- $PWD | string replace -a \e %1B | string replace -a \a %07)
    printf '\e]7;file://%s%s\a\e]133;A;morvik=%s\a' $hostname "$p" $__morvik_nonce
end
# The user's prompt is called first thing: it reads $status.
if functions -q fish_prompt
    functions -c fish_prompt __morvik_user_prompt
    function fish_prompt
        __morvik_user_prompt
        printf '\e]133;B\a'
    end
end
"""


class Integration(NamedTuple):
    """How to start one shell with its marks: its argument vector, what to
    add to its environment, the private folder (None when nothing was
    injected), and the nonce its marks carry (empty: the marks count
    without one)."""

    argv: list[str]
    env: dict[str, str]
    folder: str | None
    nonce: bytes


def kind_of(path: str) -> str | None:
    """Which shell ``path`` runs, by its name (``sh`` is none, whatever it
    links to: bash run as sh is a POSIX shell, with no rc file)."""
    name = os.path.basename(path)
    return name if name in INJECTED or name in SELF_MARKING else None


def _fish_version(path: str, env: dict[str, str], fd: int | None) -> tuple[int, ...]:
    run = path if fd is None else f"/proc/self/fd/{fd}"
    try:
        said = subprocess.run([run, "--version"], capture_output=True, text=True, timeout=10, env=env,
                              pass_fds=() if fd is None else (fd,)).stdout
    except (OSError, subprocess.SubprocessError):
        return ()
    found = re.search(r"(\d+)\.(\d+)", said)
    return (int(found[1]), int(found[2])) if found else ()


def _sh_quote(text: str) -> str:
    return "'" + text.replace("'", "'\\''") + "'"


def _fish_quote(text: str) -> str:
    return "'" + text.replace("\\", "\\\\").replace("'", "\\'") + "'"


def prepare(path: str, env: dict[str, str], fd: int | None = None) -> Integration:
    """The start of the shell at ``path`` (as resolved; or by that name from
    the descriptor ``fd``) with ``env`` (the whole environment it gets): its
    files written to a new private folder, when it is one whose marks are
    injected."""
    kind = kind_of(path)
    if kind is None or kind in SELF_MARKING or (kind == "fish" and _fish_version(path, env, fd) >= FISH_OWN_MARKS):
        # Marks it emits by itself count without a nonce; a shell without
        # hooks (sh, dash) runs as it would.
        return Integration([path], {}, None, b"")
    folder = tempfile.mkdtemp(prefix="morvik-shell-")  # 0700
    try:
        nonce = os.urandom(NONCE_BYTES).hex()
        nonce_file = os.path.join(folder, "nonce")
        with open(os.open(nonce_file, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600), "w") as f:
            f.write(nonce + "\n")

        def write(name: str, text: str) -> str:
            file = os.path.join(folder, name)
            with open(file, "w") as f:
                f.write(text)
            return file

        if kind == "bash":
            rc = write("bashrc", _BASHRC.replace("{nonce}", _sh_quote(nonce_file)))
            argv, added = [path, "--rcfile", rc], {}
        elif kind == "zsh":
            user = env.get("ZDOTDIR")
            restore = "unset ZDOTDIR" if user is None else f"ZDOTDIR={_sh_quote(user)}"
            write(".zshenv", _ZSHENV.replace("{nonce}", _sh_quote(nonce_file)).replace("{restore}", restore))
            write(".zshrc", _ZSHRC)
            argv, added = [path], {"ZDOTDIR": folder}
        else:
            init = write("init.fish", _FISH.replace("{nonce}", _fish_quote(nonce_file)))
            argv, added = [path, "--init-command", "source " + _fish_quote(init)], {}
    except BaseException:
        shutil.rmtree(folder, ignore_errors=True)
        raise
    return Integration(argv, added, folder, nonce.encode())
