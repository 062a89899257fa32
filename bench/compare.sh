#!/usr/bin/env bash
# Renders a bank of 128 sines with kalvitrope-cli and with Csound (oscili), Pure Data (osc~ into
# writesf~) and SuperCollider (scsynth in non-real-time mode, SinOsc), each on one core, and
# prints every renderer's real-time factor (median of the runs, whole process) and ours against
# the best of the others.
#
#   bench/compare.sh [--cli PATH] [--runs N] [--seconds S] [--cpu N] [--no-install]
#
# The sines are 110 x 2^(i/24) Hz, i = 0..127, 0.007 of full scale each. Kalvitrope renders two
# workloads: 128 oscillator modules with manual frequencies, and one oscillator playing the 128
# keys of a MIDI input module held from the first sample (MIDI keys 0..127: their frequencies
# are semitones, not the quarter tones of the others; a sine costs the same at any frequency).
# Runs are interleaved (run 1 of every renderer, then run 2, ...). Before timing, each output's
# RMS and the level at three frequencies are checked, so that a renderer that did not render
# the bank is not timed. A peer that is not installed (and cannot be installed) is skipped with a
# message. Needs python3 for the files and the checks.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
cli="$here/../build/release/kalvitrope-cli"
runs=5
seconds=60
cpu=1
install=1
while [ $# -gt 0 ]; do
    case "$1" in
    --cli) cli=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --cpu) cpu=$2; shift 2 ;;
    --no-install) install=0; shift ;;
    -h | --help) sed -n '2,17p' "$0"; exit 0 ;;
    *) echo "compare.sh: unknown option $1" >&2; exit 2 ;;
    esac
done
if [ ! -x "$cli" ]; then
    echo "compare.sh: no kalvitrope-cli at $cli (build it, or give --cli PATH)" >&2
    exit 2
fi
command -v python3 >/dev/null || { echo "compare.sh: needs python3" >&2; exit 2; }
command -v taskset >/dev/null || { echo "compare.sh: needs taskset (util-linux)" >&2; exit 2; }

# Peers from Debian packages, installed when missing and we may.
if [ "$install" = 1 ]; then
    missing=()
    command -v csound >/dev/null || missing+=(csound)
    command -v pd >/dev/null || missing+=(puredata-core)
    command -v scsynth >/dev/null || missing+=(supercollider-server)
    if [ ${#missing[@]} -gt 0 ]; then
        if [ "$(id -u)" = 0 ]; then
            echo "installing ${missing[*]}" >&2
            DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o DPkg::Lock::Timeout=600 \
                "${missing[@]}" >&2 || echo "compare.sh: could not install ${missing[*]}" >&2
        else
            echo "compare.sh: not root, not installing ${missing[*]}" >&2
        fi
    fi
fi

work=$(mktemp -d /tmp/kv-compare.XXXXXX)
trap '[ -n "${KV_COMPARE_KEEP:-}" ] || rm -rf "$work"' EXIT

# ---- The workloads as each program's files --------------------------------------------------
python3 - "$work" "$seconds" <<'PY'
import struct, sys
work, seconds = sys.argv[1], float(sys.argv[2])
freqs = [110 * 2 ** (i / 24) for i in range(128)]
amp = 0.007

# Kalvitrope: 128 oscillator modules; one oscillator on a MIDI input module and a key script.
crlf = "\r\n"
head = "## Kalvitrope Configuration (KVC) [revision B] ##" + crlf
bank = head
for i, f in enumerate(freqs):
    bank += crlf.join(["", "[Module_AudioOsc]", f"Name=Sine {i}", "AmplitudeControl=-[Manual]-",
                       f"AmplitudeValue={amp * 100}", "FrequencyControl=-[Manual]-",
                       f"BaseFrequencyValue={f:.9f}", "FrequencyMultiplierValue=1",
                       "OutputDeviceID=-1 (L+R)", ""])
open(f"{work}/bank.kvc", "w", newline="").write(bank)
keys = head + crlf.join(["", "[Module_ControlMIDIInput]", "Name=Keys", "InputDeviceID=0", "",
                         "[Module_AudioOsc]", "Name=Voices", "AmplitudeControl=-[Manual]-",
                         f"AmplitudeValue={amp * 100}", "FrequencyControl=Keys",
                         "FrequencyControlSensitivity=100", "OutputDeviceID=-1 (L+R)", ""])
open(f"{work}/keys.kvc", "w", newline="").write(keys)
open(f"{work}/keys.txt", "w").write("".join(f"0 midi 0 90 {k:02x} 7f\n" for k in range(128)))

# Csound: one oscili instance per sine.
score = "".join(f"i 1 0 {seconds} {f:.9f}\n" for f in freqs)
open(f"{work}/bank.csd", "w").write(f"""<CsoundSynthesizer>
<CsOptions>
-d -m0 -W -o {work}/csound.wav
</CsOptions>
<CsInstruments>
sr = 48000
ksmps = 64
nchnls = 1
0dbfs = 1
instr 1
  out oscili({amp}, p4)
endin
</CsInstruments>
<CsScore>
{score}e
</CsScore>
</CsoundSynthesizer>
""")

# Pure Data: osc~ objects summed into writesf~; batch mode runs on logical time. writesf~ writes
# from a thread of its own, which needs a moment after "stop" (a short busy loop) before quitting.
lines = ["#N canvas 0 0 600 400 12;"]
for f in freqs:
    lines.append(f"#X obj 10 10 osc~ {f:.9f};")
gain, writer, lb, trig, start, delay, stop_t, stop, quit_, dsp, count, loop = range(128, 140)
lines += [f"#X obj 10 40 *~ {amp};", "#X obj 10 70 writesf~ 1;", "#X obj 200 10 loadbang;",
          "#X obj 200 40 t b b b;", f"#X msg 200 70 open {work}/pd.wav \\, start;",
          f"#X obj 300 70 delay {seconds * 1000};", "#X obj 300 100 t b b b;",
          "#X msg 300 130 stop;", "#X msg 400 130 \\; pd quit;", "#X msg 400 40 \\; pd dsp 1;",
          "#X msg 500 100 20000000;", "#X obj 500 130 until;"]
for i in range(128):
    lines.append(f"#X connect {i} 0 {gain} 0;")
lines += [f"#X connect {gain} 0 {writer} 0;", f"#X connect {lb} 0 {trig} 0;",
          f"#X connect {trig} 2 {dsp} 0;", f"#X connect {trig} 1 {start} 0;",
          f"#X connect {trig} 0 {delay} 0;", f"#X connect {start} 0 {writer} 0;",
          f"#X connect {delay} 0 {stop_t} 0;", f"#X connect {stop_t} 2 {stop} 0;",
          f"#X connect {stop_t} 1 {count} 0;", f"#X connect {count} 0 {loop} 0;",
          f"#X connect {stop_t} 0 {quit_} 0;", f"#X connect {stop} 0 {writer} 0;"]
open(f"{work}/bank.pd", "w").write("\n".join(lines) + "\n")

# SuperCollider: a synth definition (SinOsc.ar(freq) * amp into bus 0) and a score of 128 synths.
def pstr(s):
    return bytes([len(s)]) + s.encode()
def ugen(name, rate, inputs, outputs, special=0):
    b = pstr(name) + struct.pack(">bIIh", rate, len(inputs), outputs, special)
    for u, i in inputs:
        b += struct.pack(">ii", u, i)
    return b + bytes([rate]) * outputs
d = pstr("kvsine") + struct.pack(">I", 2) + struct.pack(">ff", 0.0, amp)
d += struct.pack(">I", 1) + struct.pack(">f", 440.0)  # one parameter, freq
d += struct.pack(">I", 1) + pstr("freq") + struct.pack(">I", 0)
d += struct.pack(">I", 4)
d += ugen("Control", 1, [], 1)
d += ugen("SinOsc", 2, [(0, 0), (-1, 0)], 1)
d += ugen("BinaryOpUGen", 2, [(1, 0), (-1, 1)], 1, special=2)  # multiply
d += ugen("Out", 2, [(-1, 0), (2, 0)], 0)
d += struct.pack(">h", 0)
synthdef = b"SCgf" + struct.pack(">Ih", 2, 1) + d

def pad(b):
    return b + b"\0" * (4 - len(b) % 4)
def msg(addr, *args):
    tags, data = ",", b""
    for a in args:
        if isinstance(a, bytes):
            tags += "b"; data += struct.pack(">I", len(a)) + a + b"\0" * (-len(a) % 4)
        elif isinstance(a, float):
            tags += "f"; data += struct.pack(">f", a)
        elif isinstance(a, int):
            tags += "i"; data += struct.pack(">i", a)
        else:
            tags += "s"; data += pad(a.encode())
    return pad(addr.encode()) + pad(tags.encode()) + data
def bundle(t, msgs):
    b = b"#bundle\0" + struct.pack(">Q", int(t * 2 ** 32))
    for m in msgs:
        b += struct.pack(">I", len(m)) + m
    return struct.pack(">I", len(b)) + b
first = [msg("/d_recv", synthdef)]
first += [msg("/s_new", "kvsine", 1000 + i, 1, 0, "freq", float(f)) for i, f in enumerate(freqs)]
open(f"{work}/bank.osc", "wb").write(bundle(0.0, first) + bundle(seconds, [msg("/c_set", 0, 0)]))
PY

# ---- Renderers ---------------------------------------------------------------------------------
names=()
declare -A cmd out
add() { names+=("$1"); cmd[$1]=$2; out[$1]=$3; }
add "kalvitrope, 128 modules" \
    "'$cli' render --patch '$work/bank.kvc' --seconds $seconds --out '$work/kv-bank.wav'" \
    "$work/kv-bank.wav"
add "kalvitrope, 1 module x 128 voices" \
    "'$cli' render --patch '$work/keys.kvc' --script '$work/keys.txt' --seconds $seconds --out '$work/kv-keys.wav'" \
    "$work/kv-keys.wav"
peers=()
if command -v csound >/dev/null; then
    add "csound oscili" "csound '$work/bank.csd'" "$work/csound.wav"; peers+=("csound oscili")
else echo "skipping Csound: csound is not installed" >&2; fi
if command -v pd >/dev/null; then
    add "pd osc~" "pd -nrt -batch -nosound -noprefs -r 48000 -open '$work/bank.pd'" "$work/pd.wav"
    peers+=("pd osc~")
else echo "skipping Pure Data: pd is not installed" >&2; fi
if command -v scsynth >/dev/null; then
    add "scsynth SinOsc" \
        "scsynth -N '$work/bank.osc' _ '$work/sc.wav' 48000 WAV int16 -o 1" "$work/sc.wav"
    peers+=("scsynth SinOsc")
else echo "skipping SuperCollider: scsynth is not installed" >&2; fi

# ---- Checks: RMS and the level at two members of the bank and one frequency between ------------
check() { # name file
    python3 - "$1" "$2" "$seconds" <<'PY'
import math, struct, sys, wave
name, path, seconds = sys.argv[1], sys.argv[2], float(sys.argv[3])
try:
    w = wave.open(path)
except Exception as e:
    sys.exit(f"{name}: no readable output ({e})")
rate, ch, width = w.getframerate(), w.getnchannels(), w.getsampwidth()
n = w.getnframes()
if rate != 48000 or abs(n - seconds * 48000) > 48000:
    sys.exit(f"{name}: {n} frames at {rate} Hz, not {seconds} s at 48000 Hz")
w.setpos(min(n, 48000))  # one second in: past the attack
raw = w.readframes(48000)
if width == 2:
    x = [v / 32768 for v in struct.unpack(f"<{len(raw) // 2}h", raw)[::ch]]
elif width == 4 and w.getcomptype() == "NONE":
    x = list(struct.unpack(f"<{len(raw) // 4}i", raw)[::ch]); x = [v / 2 ** 31 for v in x]
else:
    sys.exit(f"{name}: unexpected sample width {width}")
rms = math.sqrt(sum(v * v for v in x) / len(x))
def level(f):  # amplitude of the sine at f over the second (Goertzel)
    k = 2 * math.cos(2 * math.pi * f / 48000); s1 = s2 = 0.0
    for v in x:
        s1, s2 = v + k * s1 - s2, s1
    return 2 * math.sqrt(max(s1 * s1 + s2 * s2 - k * s1 * s2, 0)) / len(x)
keys = "1 module" in name
members = (110.0, 440.0) if keys else (110.0, 110 * 2 ** (100 / 24))
between = 452.9 if keys else 110 * 2 ** (100.5 / 24)
got = [level(f) for f in members]
off = level(between)
ok = abs(rms - 0.0566) < 0.012 and all(abs(g - 0.007) < 0.002 for g in got) and off < 0.002
print(f"{name}: RMS {rms:.4f}, level at {members[0]:.1f} and {members[1]:.1f} Hz "
      f"{got[0]:.4f} {got[1]:.4f}, at {between:.1f} Hz {off:.4f}: {'ok' if ok else 'WRONG'}")
sys.exit(0 if ok else 1)
PY
}

# The checking run is not pinned: on one core Pd's file writer may not finish before Pd quits.
echo "checking outputs (one untimed run each)"
good=()
for n in "${names[@]}"; do
    if bash -c "${cmd[$n]}" >"$work/log" 2>&1 && check "$n" "${out[$n]}"; then
        good+=("$n")
    else
        echo "leaving out $n: its run or its output failed" >&2
        tail -5 "$work/log" >&2 || true
    fi
done

[ "$runs" -gt 0 ] || { echo "no timed runs (--runs 0); KV_COMPARE_KEEP=1 keeps $work"; exit 0; }
declare -A times
for ((r = 1; r <= runs; r++)); do
    for n in "${good[@]}"; do
        s=$(date +%s.%N)
        taskset -c "$cpu" bash -c "${cmd[$n]}" >/dev/null 2>&1
        e=$(date +%s.%N)
        times[$n]="${times[$n]:-} $(python3 -c "print($e - $s)")"
    done
done

echo
printf "%-36s %10s %12s   (%d runs, %s s each, core %s)\n" renderer "median s" "RT factor" \
    "$runs" "$seconds" "$cpu"
python3 - "$seconds" "${#peers[@]}" "${peers[@]}" -- "${good[@]}" <<PY
import statistics, sys
args = sys.argv[1:]
seconds = float(args[0]); npeers = int(args[1]); peers = args[2:2 + npeers]
good = args[args.index("--") + 1:]
times = {$(for n in "${good[@]}"; do printf '"%s": [%s], ' "$n" "$(echo ${times[$n]} | tr ' ' ',')"; done)}
factor = {}
for n in good:
    m = statistics.median(times[n]); factor[n] = seconds / m
    print(f"{n:36s} {m:10.2f} {factor[n]:12.1f}   runs: " + " ".join(f"{t:.2f}" for t in times[n]))
best = max((factor[p], p) for p in peers if p in factor) if any(p in factor for p in peers) else None
if best:
    print(f"\nbest peer: {best[1]} at {best[0]:.1f} x real time")
    for n in good:
        if n.startswith("kalvitrope"):
            print(f"{n}: {factor[n] / best[0]:.2f} x the best peer")
PY
