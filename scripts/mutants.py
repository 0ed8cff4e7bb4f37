#!/usr/bin/env python3
"""Mutation runs: plant one fault at a time in the portable core and see whether the suite
notices.

What is mutated: every .cpp and .h file under src/ that the preset's build compiles for its
system: src/platform/<system>/ and the few implementations kept beside the code they serve
(*_posix.cpp, *_win32.cpp) only for their own system. MUTANT_PRESET names the CMake configure
preset the mirror is built with (default: "default", the native Linux build): "windows"
cross-builds with mingw-w64 and runs the suite under Wine, so the mutants reach
src/platform/win32/ and are judged by the Win32 tests, among them the played driver's.
One mutant changes one spot:
  - comparison flips        ==  <->  !=,   <  ->  >=,   <=  ->  >,   >  ->  <=,   >=  ->  <
  - boundary shifts         <  <->  <=,   >  <->  >=
  - logical operators       &&  <->  ||
  - boolean returns         return true;  <->  return false;
  - integer constants       N -> N+1 and N -> N-1 (0 only becomes 1), hex kept in hex
  - call statements         a statement that is one call (Foo(...); a.Bar(...);) is removed
Operators count only with a space on both sides, as the formatter writes binary operators;
that keeps template brackets, shifts and references out. Comments, string and character
literals (so every message text), preprocessor lines (includes among them), static_asserts and
__attribute__ lists are never touched.

How a run goes: the working tree is mirrored into build/mutants/tree (only changed files are
copied, so the build there stays incremental) and built in build/mutants/build (for another
preset build/mutants/build-PRESET), with the preset's toolchain and cache variables, as a debug
build without debug information (through ccache when it is installed). A cross build's Wine
runs use the native simulated scanner and HID test program of the tree's own default build
(build/default), as its ctest does. The source tree itself is
never written. The unmutated suite runs first and must pass; its times set the limits. Then,
mutant by mutant: the mirror's file is changed, the test executables are brought up to date,
and ctest runs with --stop-on-failure, first the tests of the mutated subsystem's own test
executable, then the rest. The mirror's file is restored afterwards on every path, a failed
build, Ctrl-C and SIGTERM included; a run that was killed outright is mended by the mirror
sync of the next run.

Verdicts:
  killed              a test failed, crashed or aborted
  killed (time-out)   a test ran past its limit, or the suite past the mutant's limit: a
                      mutant that makes the suite hang counts as killed
  survived            every test passed
  no build            the mutant does not compile; it counts neither as killed nor as
                      survived and is left out of N

Settings (environment): MUTANT_PRESET=P the configure preset (default "default"),
MUTANTS=N runs a sample of N mutants (all when unset or 0), SEED=S
chooses the sample (default 1; the same seed on the same sources gives the same sample),
JOBS=J build and test jobs (default 2), MUTANT_PATHS="src/firmware src/common" limits the
files (path prefixes), MUTANT_TEST_TIMEOUT=T seconds per test (default from the unmutated
run). "--list" prints the chosen mutants without building anything.

The last line is "killed K of N (P%)".
"""

import dataclasses
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WORK = os.path.join(ROOT, "build", "mutants")
TREE = os.path.join(WORK, "tree")
PRESET = os.environ.get("MUTANT_PRESET") or "default"
BUILD = os.path.join(WORK, "build" if PRESET == "default" else "build-" + PRESET)

CORE = "src"
# Per system: its platform folder, and the name endings of the implementations that only the
# other system compiles.
SYSTEMS = {
    "linux": ("src/platform/linux/", ("_win32.cpp", "_win32.h")),
    "win32": ("src/platform/win32/", ("_posix.cpp", "_posix.h", "sync_std.cpp")),
}

OPERATOR_MUTATIONS = {
    "==": ["!="],
    "!=": ["=="],
    "<": [">=", "<="],
    "<=": [">", "<"],
    ">": ["<=", ">="],
    ">=": ["<", ">"],
    "&&": ["||"],
    "||": ["&&"],
}
OPERATOR = re.compile(r"(?<=\s)(==|!=|<=|>=|<|>|&&|\|\|)(?=\s)")
BOOLEAN_RETURN = re.compile(r"\breturn\s+(true|false)\s*;")
INTEGER = re.compile(r"(?<![\w.'])(0[xX][0-9A-Fa-f']+|\d[\d']*)([uUlL]*)(?![\w.'])")
PURE_SPECIFIER = re.compile(r"\)\s*(?:const\s*)?(?:override\s*)?=\s*$")
CALL_START = re.compile(r"^[ \t]*((?:[A-Za-z_]\w*(?:::|\.|->))*([A-Za-z_]\w*))\s*\(", re.M)
CLASS_NAME = re.compile(r"\b(?:class|struct)\s+([A-Za-z_]\w*)")
PARAMETER = re.compile(r"(?:^|,)\s*(?!sizeof\b|alignof\b)(?:const\s+)?[A-Za-z_][\w:<>]*\s*[&*]*\s+"
                       r"[&*]*[A-Za-z_]\w*\s*(?:,|=|$)")
RAW_STRING = re.compile(r'(?:u8|u|U|L)?R"')
UNTOUCHED = re.compile(r"(?:static_assert|__attribute__)\b")
IDENTIFIER_CHAR = re.compile(r"[A-Za-z0-9_]")
NOT_CALLS = {
    "return", "if", "while", "for", "switch", "sizeof", "static_assert", "delete", "new",
    "case", "else", "do", "throw", "alignof", "decltype", "static_cast", "reinterpret_cast",
    "const_cast", "dynamic_cast", "typeid", "catch", "defined",
}


@dataclasses.dataclass
class Mutant:
    path: str  # relative to the root
    line: int
    start: int  # character range in the file that the replacement takes
    end: int
    replacement: str
    description: str

    def where(self):
        return f"{self.path}:{self.line}"


def in_number(text, quote):
    """Whether the quote at this position separates digits (1'000) rather than opens a
    character literal (u'0')."""
    start = quote
    while start > 0 and (IDENTIFIER_CHAR.match(text[start - 1]) or text[start - 1] == "'"):
        start -= 1
    return start < quote and text[start].isdigit()


def mask(text):
    """The text with comments, literal contents, preprocessor lines, static_asserts and
    attribute lists blanked to spaces; newlines and every other position stay where they
    were."""
    out = list(text)
    i = 0
    n = len(text)
    at_line_start = True

    def blank(a, b):
        for k in range(a, b):
            if out[k] != "\n":
                out[k] = " "

    while i < n:
        c = text[i]
        if c == "\n":
            at_line_start = True
            i += 1
            continue
        if at_line_start and c in " \t":
            i += 1
            continue
        if at_line_start and c == "#":
            end = i
            while end < n:
                newline = text.find("\n", end)
                if newline < 0:
                    end = n
                    break
                if text[newline - 1] == "\\":
                    end = newline + 1
                    continue
                end = newline
                break
            blank(i, end)
            i = end
            continue
        at_line_start = False
        if text.startswith("//", i):
            end = text.find("\n", i)
            end = n if end < 0 else end
            blank(i, end)
            i = end
        elif text.startswith("/*", i):
            end = text.find("*/", i + 2)
            end = n if end < 0 else end + 2
            blank(i, end)
            i = end
        elif RAW_STRING.match(text, i) and not (i > 0 and IDENTIFIER_CHAR.match(text[i - 1])):
            quote = text.index('"', i)
            paren = text.index("(", quote)
            delimiter = text[quote + 1:paren]
            end = text.find(")" + delimiter + '"', paren)
            end = n if end < 0 else end + len(delimiter) + 2
            blank(quote + 1, end - 1)
            i = end
        elif c in "\"'":
            if c == "'" and in_number(text, i):
                i += 1  # a digit separator
                continue
            k = i + 1
            while k < n and text[k] != c:
                k += 2 if text[k] == "\\" else 1
            blank(i + 1, k)
            i = k + 1
        elif UNTOUCHED.match(text, i) and not (i > 0 and IDENTIFIER_CHAR.match(text[i - 1])):
            depth = 0
            k = text.index("(", i)
            while k < n:
                if out[k] == "(":
                    depth += 1
                elif out[k] == ")":
                    depth -= 1
                    if depth == 0:
                        break
                k += 1
            blank(i, k + 1)
            i = k + 1
        else:
            i += 1
    return "".join(out)


def line_of(text, position):
    return text.count("\n", 0, position) + 1


def closing_paren(masked, open_at):
    depth = 0
    for k in range(open_at, len(masked)):
        if masked[k] == "(":
            depth += 1
        elif masked[k] == ")":
            depth -= 1
            if depth == 0:
                return k
    return -1


def is_octal(literal):
    """C++ reads a literal of digits that begins with 0 in octal (0600)."""
    digits = literal.replace("'", "")
    return len(digits) > 1 and digits[0] == "0" and digits.isdigit()


def integer_value(literal):
    return int(literal.replace("'", ""), 8 if is_octal(literal) else 0)


def integer_text(original, value):
    if original[:2] in ("0x", "0X"):
        digits = original[2:].replace("'", "")
        width = len(digits)
        upper = digits == digits.upper()
        body = f"{value:0{width}X}" if upper else f"{value:0{width}x}"
        return original[:2] + body
    if is_octal(original):
        return f"0{value:o}"
    return str(value)


def mutants_of(path, text):
    masked = mask(text)
    found = []

    def add(start, end, replacement, description):
        found.append(Mutant(path, line_of(text, start), start, end, replacement, description))

    for match in OPERATOR.finditer(masked):
        operator = match.group(1)
        for replacement in OPERATOR_MUTATIONS[operator]:
            add(match.start(), match.end(), replacement, f"'{operator}' -> '{replacement}'")

    for match in BOOLEAN_RETURN.finditer(masked):
        value = match.group(1)
        other = "false" if value == "true" else "true"
        add(match.start(1), match.end(1), other, f"return {value} -> return {other}")

    for match in INTEGER.finditer(masked):
        literal = match.group(1)
        before = masked[:match.start()]
        if PURE_SPECIFIER.search(before):
            continue
        value = integer_value(literal)
        for changed in (value + 1, value - 1):
            if changed < 0:
                continue
            add(match.start(1), match.end(1), integer_text(literal, changed),
                f"{literal} -> {integer_text(literal, changed)}")

    classes = set(CLASS_NAME.findall(masked))
    for match in CALL_START.finditer(masked):
        first = re.split(r"::|\.|->", match.group(1))[0]
        if first in NOT_CALLS or match.group(2) in NOT_CALLS or match.group(2) in classes:
            continue
        start = match.start(1)
        previous = masked[:start].rstrip()
        if previous and previous[-1] not in ";{}:":
            continue
        close = closing_paren(masked, match.end() - 1)
        if close < 0:
            continue
        if PARAMETER.search(masked[match.end():close]):
            continue  # a declaration: its parentheses hold "Type name"
        rest = masked[close + 1:]
        stripped = rest.lstrip()
        if not stripped.startswith(";"):
            continue
        end = close + 1 + (len(rest) - len(stripped)) + 1
        newlines = text.count("\n", start, end)
        add(start, end, ";" + "\n" * newlines, f"remove call {match.group(1)}(...)")
    return found


def configure_preset():
    """The configure preset MUTANT_PRESET names, from CMakePresets.json."""
    with open(os.path.join(ROOT, "CMakePresets.json"), encoding="utf-8") as presets:
        for preset in json.load(presets)["configurePresets"]:
            if preset["name"] == PRESET:
                return preset
    sys.exit(f"mutants: CMakePresets.json has no configure preset {PRESET!r}")


def preset_system(preset):
    """The system the preset builds for: its toolchain file's (or a file that one includes
    from its own folder), or this one's."""
    pending = [preset.get("toolchainFile", "").replace("${sourceDir}", ROOT)]
    while pending[-1]:
        with open(pending.pop(), encoding="utf-8") as file:
            text = file.read()
        if re.search(r"CMAKE_SYSTEM_NAME\s+Windows", text):
            return "win32"
        included = re.search(r"include\(\$\{CMAKE_CURRENT_LIST_DIR\}/([\w.-]+)\)", text)
        pending.append(os.path.join(ROOT, "cmake", included.group(1)) if included else "")
    return "linux"


def core_files(system):
    own_platform = SYSTEMS[system][0]
    others_only = SYSTEMS[system][1]
    files = []
    for folder, _, names in os.walk(os.path.join(ROOT, CORE)):
        for name in names:
            if not name.endswith((".cpp", ".h")):
                continue
            relative = os.path.relpath(os.path.join(folder, name), ROOT).replace(os.sep, "/")
            in_platform = relative.startswith("src/platform/")
            if (in_platform and not relative.startswith(own_platform)) or \
                    name.endswith(others_only):
                continue
            files.append(relative)
    return sorted(files)


def all_mutants(prefixes, system):
    mutants = []
    for path in core_files(system):
        if prefixes and not any(path.startswith(prefix) for prefix in prefixes):
            continue
        with open(os.path.join(ROOT, path), encoding="utf-8") as source:
            mutants.extend(mutants_of(path, source.read()))
    return mutants


# --- the mirror and the build ---------------------------------------------------------------

def tracked_files():
    listed = subprocess.run(
        ["git", "ls-files", "--cached", "--others", "--exclude-standard", "-z"],
        cwd=ROOT, check=True, capture_output=True).stdout.decode("utf-8")
    names = (name for name in listed.split("\0") if name)
    return [name for name in names if os.path.isfile(os.path.join(ROOT, name))]


def sync_mirror():
    """Copies every changed file into the mirror and removes what the tree no longer has."""
    wanted = set(tracked_files())
    copied = 0
    for name in wanted:
        source = os.path.join(ROOT, name)
        target = os.path.join(TREE, name)
        with open(source, "rb") as handle:
            content = handle.read()
        if os.path.exists(target):
            with open(target, "rb") as handle:
                if handle.read() == content:
                    continue
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy2(source, target)
        copied += 1
    for folder, _, names in os.walk(TREE):
        for name in names:
            full = os.path.join(folder, name)
            if os.path.relpath(full, TREE).replace(os.sep, "/") not in wanted:
                os.remove(full)
    return copied


class Interrupted(Exception):
    pass


running = None  # the child process group under way, if any


def stop_group(process):
    """Ends a child's whole process group: SIGTERM first, so that make removes the object it
    was writing, then, once the child is gone or after five seconds, SIGKILL for whatever of
    the group is left."""
    try:
        os.killpg(process.pid, signal.SIGTERM)
        process.wait(timeout=5)
    except (ProcessLookupError, subprocess.TimeoutExpired):
        pass
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass


def on_signal(number, _frame):
    if running is not None and running.poll() is None:
        stop_group(running)
    raise Interrupted(signal.Signals(number).name)


def run(command, timeout=None, cwd=None):
    """Runs command in a process group of its own; (exit code or None on time-out, output)."""
    global running
    running = subprocess.Popen(command, cwd=cwd, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, start_new_session=True)
    try:
        output, _ = running.communicate(timeout=timeout)
        return running.returncode, output.decode("utf-8", "replace")
    except subprocess.TimeoutExpired:
        stop_group(running)
        output, _ = running.communicate()
        return None, output.decode("utf-8", "replace")
    finally:
        running = None


def configure(preset, system):
    """A debug build without debug information: the same code as the preset builds, compiled
    and linked faster. ccache, when installed, makes the rebuild after a restore cheap."""
    command = ["cmake", "-S", TREE, "-B", BUILD]
    if preset.get("toolchainFile"):
        command.append("-DCMAKE_TOOLCHAIN_FILE=" +
                       preset["toolchainFile"].replace("${sourceDir}", TREE))
    for name, value in preset.get("cacheVariables", {}).items():
        command.append(f"-D{name}={value}".replace("${sourceDir}", TREE))
    command += ["-DCMAKE_BUILD_TYPE=Debug", "-DCMAKE_CXX_FLAGS_DEBUG=-O0",
                "-DSCANFLASH_TESTS=ON", "-DSCANFLASH_BENCH=OFF", "-DSCANFLASH_FUZZ=OFF"]
    if system == "win32":
        native = os.path.join(ROOT, "build", "default")
        command += [
            "-DSCANFLASH_NATIVE_SIM_PTY=" + os.path.join(native, "sim", "scanflash-sim-pty"),
            "-DSCANFLASH_NATIVE_WINE_HID_TESTS=" +
            os.path.join(native, "tests", "umockdev", "wine_hid_tests")]
    if shutil.which("ccache"):
        command.append("-DCMAKE_CXX_COMPILER_LAUNCHER=ccache")
    else:
        print("mutants: without ccache every restored file is compiled again", flush=True)
    code, output = run(command)
    if code != 0:
        sys.exit("mutants: cmake could not configure the mirror:\n" + output)


def build(jobs, targets=(), timeout=3600):
    command = ["cmake", "--build", BUILD, "-j", str(jobs)]
    if targets:
        command += ["--target", *targets]
    code, output = run(command, timeout=timeout)
    return code == 0, output


def built_program(command):
    """The program of this build that a test's command runs: the command itself, or the
    program it hands to an emulator or a driver script; None for a script that runs the
    build's programs by their folder."""
    for word in command:
        if os.path.abspath(word).startswith(BUILD + os.sep) and os.path.isfile(word):
            return word
    return None


def list_tests():
    """Test name -> the folder of its executable below tests/ (its subsystem), and the names
    of the test executables, which are all a mutant's build has to bring up to date; no names
    when a test runs the build's programs by their folder, since then everything must be."""
    code, output = run(["ctest", "--test-dir", BUILD, "--show-only=json-v1"])
    if code != 0:
        sys.exit("mutants: ctest could not list the tests:\n" + output)
    tests = {}
    executables = set()
    whole_build = False
    for test in json.loads(output)["tests"]:
        executable = built_program(test.get("command", [""]))
        if executable is None:
            tests[test["name"]] = ""
            whole_build = True
            continue
        relative = os.path.relpath(executable, os.path.join(BUILD, "tests")).replace(os.sep, "/")
        tests[test["name"]] = relative.split("/")[0]
        executables.add(os.path.splitext(os.path.basename(executable))[0])
    return tests, [] if whole_build else sorted(executables)


FAILED_LINE = re.compile(r"^\s*\d+ - (\S+) \((.+)\)\s*$", re.M)
PASSED_TIME = re.compile(r"Test\s+#\d+: (\S+) \.+\s+Passed\s+([\d.]+) sec")


def ctest(names, exclude, jobs, test_timeout, total_timeout):
    """Runs the named tests (or all but them); (verdict, first failed test, output).
    verdict: "passed", "failed" or "time-out"."""
    command = ["ctest", "--test-dir", BUILD, "-j", str(jobs), "--stop-on-failure",
               "--timeout", str(test_timeout)]
    if names:
        pattern = "^(" + "|".join(re.escape(name) for name in sorted(names)) + ")$"
        command += ["-E" if exclude else "-R", pattern]
    elif not exclude:
        return "passed", None, ""
    code, output = run(command, timeout=total_timeout)
    if code is None:
        return "time-out", None, output
    if code == 0:
        return "passed", None, output
    failures = FAILED_LINE.findall(output)
    if failures:
        name, how = failures[0]
        return ("time-out" if "Timeout" in how else "failed"), name, output
    return "failed", None, output


# --- the run ---------------------------------------------------------------------------------

def subsystem_of(path):
    parts = path.split("/")
    return parts[1] if len(parts) > 2 else ""


def apply(mutant):
    target = os.path.join(TREE, mutant.path)
    with open(target, encoding="utf-8") as handle:
        original = handle.read()
    changed = original[:mutant.start] + mutant.replacement + original[mutant.end:]
    with open(target, "w", encoding="utf-8") as handle:
        handle.write(changed)
    return target, original


def restore(target, original):
    with open(target, "w", encoding="utf-8") as handle:
        handle.write(original)


def main():
    listing = "--list" in sys.argv[1:]
    sample_size = int(os.environ.get("MUTANTS") or 0)
    seed = int(os.environ.get("SEED") or 1)
    jobs = int(os.environ.get("JOBS") or 2)
    prefixes = (os.environ.get("MUTANT_PATHS") or "").split()

    preset = configure_preset()
    system = preset_system(preset)
    everything = all_mutants(prefixes, system)
    chosen = everything
    if 0 < sample_size < len(everything):
        chosen = random.Random(seed).sample(everything, sample_size)
    # Neighbours in one file share their rebuilds.
    chosen.sort(key=lambda m: (m.path, m.start, m.replacement))
    print(f"mutants: preset {PRESET} ({system}): {len(chosen)} of {len(everything)} mutants"
          f"{f' (seed {seed})' if len(chosen) < len(everything) else ''}", flush=True)
    if listing:
        for mutant in chosen:
            print(f"{mutant.where():40} {mutant.description}")
        return 0

    signal.signal(signal.SIGINT, on_signal)
    signal.signal(signal.SIGTERM, on_signal)
    started = time.monotonic()
    results = []
    pending = None  # (target, original) while a mutant is in the mirror
    try:
        os.makedirs(TREE, exist_ok=True)
        print(f"mutants: mirror {TREE}: {sync_mirror()} files copied", flush=True)
        configure(preset, system)
        built, output = build(jobs)
        if not built:
            sys.exit("mutants: the unmutated tree does not build:\n" + output[-4000:])
        tests, targets = list_tests()
        baseline_started = time.monotonic()
        code, output = run(["ctest", "--test-dir", BUILD, "-j", str(jobs), "--timeout", "600"])
        baseline = time.monotonic() - baseline_started
        if code != 0:
            sys.exit("mutants: the unmutated suite fails; mend it first:\n" + output[-4000:])
        slowest = max([float(t) for _, t in PASSED_TIME.findall(output)] or [1.0])
        test_timeout = int(os.environ.get("MUTANT_TEST_TIMEOUT") or max(30, 4 * slowest))
        total_timeout = max(120, 3 * baseline + test_timeout)
        print(f"mutants: unmutated suite {baseline:.0f} s ({len(tests)} tests, slowest "
              f"{slowest:.1f} s); limits {test_timeout} s a test, {total_timeout:.0f} s a "
              f"phase", flush=True)

        for number, mutant in enumerate(chosen, 1):
            pending = apply(mutant)
            try:
                built, _ = build(jobs, targets)
                culprit = None
                if not built:
                    verdict = "no build"
                else:
                    own = {name for name, folder in tests.items()
                           if folder == subsystem_of(mutant.path)}
                    verdict, culprit, _ = ctest(own, False, jobs, test_timeout, total_timeout)
                    if verdict == "passed":
                        verdict, culprit, _ = ctest(own, True, jobs, test_timeout, total_timeout)
                    verdict = {"passed": "survived", "failed": "killed",
                               "time-out": "killed (time-out)"}[verdict]
            finally:
                restore(*pending)
                pending = None
            results.append((mutant, verdict))
            by = f"  [{culprit}]" if culprit else ""
            print(f"[{number}/{len(chosen)}] {verdict:17} {mutant.where():40} "
                  f"{mutant.description}{by}", flush=True)
    except Interrupted as interruption:
        print(f"\nmutants: stopped by {interruption}; the mirror is restored", flush=True)
    finally:
        if pending is not None:
            restore(*pending)

    counted = [(m, v) for m, v in results if v != "no build"]
    killed = sum(1 for _, v in counted if v.startswith("killed"))
    survivors = [m for m, v in counted if v == "survived"]
    if survivors:
        print("\nsurvivors:")
        for mutant in survivors:
            print(f"  {mutant.where():40} {mutant.description}")
    print(f"\n{len(results) - len(counted)} did not build and are not counted; "
          f"{(time.monotonic() - started) / 60:.0f} min")
    percent = 100.0 * killed / len(counted) if counted else 0.0
    print(f"killed {killed} of {len(counted)} ({percent:.0f}%)", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
