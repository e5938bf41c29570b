#!/usr/bin/env python3
"""Runs a program and checks how it ended and what it printed, together.

    expect_run.py [--system windows [--run-with EMULATOR]] [--env NAME=VALUE]...
                  (--status N | --signal NAME) [--output REGEX]... -- PROGRAM [ARG]...

Passes when the program exited with status N (or was ended by the signal
NAME, such as SEGV or ABRT) and its standard output and standard error,
taken together, match every REGEX (Python syntax, `.` matches line breaks).
The program's output is always shown, so a failing run can be read in the
test log.

A Windows program (run through EMULATOR, such as wine) ends by a fault
with the fault's code as its exit code: SEGV stands for an access violation
there, ABRT for a failed assertion of the library. The emulator gives the
code's low 8 bits as its own exit status.

Each --env sets a variable for the program. Wine replaces the user-profile
variables it finds in the environment (LOCALAPPDATA, APPDATA, ...) with its
own, so under an emulator the variables are set by the system's command
interpreter, which then starts the program; their values may then hold no
spaces nor any of the interpreter's special characters.
"""
import argparse
import os
import re
import signal
import subprocess
import sys


# The exit code a Windows program ends with for each fault these tests expect.
WINDOWS_FAULT_CODES = {"SEGV": 0xC0000005, "ABRT": 0xE0000001}


def describe(returncode):
    if returncode < 0:
        return "ended by " + signal.Signals(-returncode).name
    return "exited with status %d" % returncode


# Characters the command interpreter would take as its own in a value.
CMD_SPECIAL = re.compile(r'[\s&|<>^%"()]')


def with_environment(command, env, emulated_windows):
    """The command and environment that run `command` with `env` applied."""
    if not env:
        return command, None
    if not emulated_windows:
        return command, dict(os.environ, **env)
    prefix = ["cmd", "/c"]
    for name, value in env.items():
        if CMD_SPECIAL.search(name + value):
            sys.exit("expect_run: %s=%s cannot pass through the command interpreter"
                     % (name, value))
        prefix += ["set", "%s=%s&&" % (name, value)]
    return prefix + command, None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--system", default="linux")
    parser.add_argument("--run-with", default="")
    ending = parser.add_mutually_exclusive_group(required=True)
    ending.add_argument("--status", type=int)
    ending.add_argument("--signal")
    parser.add_argument("--output", action="append", default=[])
    parser.add_argument("--env", action="append", default=[])
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        parser.error("no program to run")

    env = dict(item.split("=", 1) for item in args.env)
    command, environment = with_environment(
        command, env, args.system == "windows" and bool(args.run_with))
    if args.run_with:
        command = [args.run_with] + command
    run = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         env=environment)
    output = run.stdout.decode("utf-8", errors="replace")
    sys.stdout.write(output)
    sys.stdout.flush()

    if args.signal is not None and args.system == "windows":
        expected = WINDOWS_FAULT_CODES[args.signal.upper().removeprefix("SIG")] & 0xFF
    elif args.signal is not None:
        expected = -signal.Signals["SIG" + args.signal.upper().removeprefix("SIG")].value
    else:
        expected = args.status
    faults = []
    if run.returncode != expected:
        faults.append("expected: %s; the program %s"
                      % (describe(expected), describe(run.returncode)))
    for pattern in args.output:
        if not re.search(pattern, output, re.DOTALL):
            faults.append("the output does not match: %s" % pattern)
    for fault in faults:
        print("expect_run: " + fault, file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
