#!/usr/bin/env bash
# Runs CI (.ci/run: every test in three builds, the packages, a minute of each
# fuzzer) in a fresh clone of the committed HEAD, then rewrites the figures of
# SECURITY.md's "Last run" from what that run printed. About 20 minutes.
# usage: scripts/security-figures.sh [--from CLONE]
#   --from CLONE: skip the run and take the figures from a clone where
#   scripts/security-figures.sh (or .ci/run) already ran
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

if [[ ${1:-} == --from ]]; then
  clone=$(cd "$2" && pwd)
else
  clone=$(mktemp -d)/qarvel
  git clone -q "$repo" "$clone"
  git -C "$clone" checkout -q "$(git rev-parse HEAD)"
  mkdir -p "$clone/build/logs"
  echo "Running .ci/run in $clone (log: $clone/build/logs/ci.log)"
  start=$(date +%s) load=$(cut -d' ' -f1 /proc/loadavg)
  status=0
  (cd "$clone" && .ci/run) >"$clone/build/logs/ci.log" 2>&1 || status=$?
  printf '%s %s %s %s\n' "$start" "$(date +%s)" "$status" "$load" >"$clone/build/logs/ci-run.txt"
  ((status == 0)) || echo "CI failed (exit $status); the figures say so" >&2
fi

/usr/bin/python3 - "$clone" "$repo/SECURITY.md" <<'EOF'
import datetime, pathlib, re, subprocess, sys

clone, security = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
logs = clone / "build" / "logs"

def run(*args):
    return subprocess.run(args, capture_output=True, text=True, cwd=clone).stdout.strip()

def first_version(command):
    match = re.search(r"\d+\.\d+(\.\d+)?", run(*command).splitlines()[0])
    return match.group(0) if match else "?"

start, end, status, load = (logs / "ci-run.txt").read_text().split()
start, end, status = int(start), int(end), int(status)
cpu = re.search(r"model name\s*:\s*(.*)", pathlib.Path("/proc/cpuinfo").read_text()).group(1)
when = datetime.datetime.fromtimestamp(start, datetime.timezone.utc)
head = [
    f"Run of {when:%Y-%m-%d at %H:%M} UTC, `.ci/run` from a fresh clone of commit "
    f"{run('git', 'rev-parse', '--short', 'HEAD')} on an `{cpu.strip()}` machine with "
    f"{run('nproc')} vCPUs, g++ {first_version(['g++', '--version'])}, clang "
    f"{first_version(['clang', '--version'])} and libjpeg-turbo "
    f"{run('dpkg-query', '-W', '-f=${Version}', 'libturbojpeg0').split(':')[-1].split('-')[0]}; "
    f"the whole run took {(end - start) / 60:.1f} minutes (load average {load} at the start)"
    + ("." if status == 0 else f" and failed (exit status {status})."),
    "",
    "| Stage | Result |",
    "|---|---|",
]
names = {"dev": "optimised build", "asan": "ASan + UBSan + LSan", "tsan": "TSan"}
for row in (logs / "summary.tsv").read_text().splitlines():
    preset, total, passed, failed, warnings, seconds = row.split("\t")
    result = (f"{passed} of {total} tests passed" if failed == "0" else
              f"build failed" if failed == "build" else f"{failed} of {total} tests FAILED")
    result += ", no compiler warnings" if warnings == "0" else f", {warnings} compiler warnings"
    head.append(f"| {names.get(preset, preset)} | {result} ({int(seconds) // 60}m{int(seconds) % 60:02d}s) |")
ci_log = (logs / "ci.log").read_text(errors="replace")
packaged = "wheel and Debian packages ok" in ci_log
head.append("| wheel in a venv, Debian packages on the machine | "
            + ("built, installed, tested (consumers, tool, manual page, Python suites) and removed |"
               if packaged else "FAILED |"))

fuzz = ["", "| Fuzz target | Time | Inputs executed | New inputs found | Corpus at the end | Peak RSS | Findings |",
        "|---|---:|---:|---:|---:|---:|---:|"]
for target, seconds in re.findall(r"^== fuzz (\w+) for (\d+)s", ci_log, re.M):
    log = (clone / "build" / "fuzz" / f"{target}.log").read_text(errors="replace")
    stat = dict(re.findall(r"^stat::(\w+):\s*(\d+)", log, re.M))
    corpus = sum(1 for p in (clone / "build" / "fuzz" / "corpus" / target).iterdir() if p.is_file())
    findings = len(list((clone / "build" / "fuzz" / "artifacts").glob(f"{target}-*")))
    fuzz.append(f"| `{target}_fuzzer` | {seconds} s | {int(stat.get('number_of_executed_units', 0)):,} "
                f"| {int(stat.get('new_units_added', 0)):,} | {corpus:,} | {stat.get('peak_rss_mb', '?')} MB "
                f"| {findings} |")

text = security.read_text()
begin, finish = "<!-- last-run:begin -->", "<!-- last-run:end -->"
before, rest = text.split(begin)
_, after = rest.split(finish)
security.write_text(before + begin + "\n" + "\n".join(head + fuzz) + "\n" + finish + after)
print(f"rewrote the last run in {security}")
EOF
