#!/usr/bin/env bash
# The main job: a short recording from a simulated 18-channel mixer on a
# private JACK dummy server. Installs what is missing and builds first.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh default >/dev/null

bin=build/default/quilltap
client=build/default/tests/tools/signal_client
work=$(mktemp -d /tmp/quilltap-demo.XXXXXX)
export JACK_DEFAULT_SERVER="quilltap-demo-$$" JACK_NO_AUDIO_RESERVATION=1

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -f /dev/shm/jack*_"$JACK_DEFAULT_SERVER"_*  # the server's semaphores outlive it
}
trap cleanup EXIT

jackd --no-realtime -n "$JACK_DEFAULT_SERVER" -d dummy -C 2 -P 2 -r 48000 -p 1024 >"$work/jackd.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do jack_lsp >/dev/null 2>&1 && break; sleep 0.1; done

# The simulated mixer: 18 outputs, channel 17 silent, channel 18 at full scale.
"$client" --name XR18 --pretty "XR18 Multichannel" --ports 18 --silent 17 --full 18 >"$work/client.out" 2>&1 &
pids+=($!)
for _ in $(seq 50); do grep -q ready "$work/client.out" 2>/dev/null && break; sleep 0.1; done

echo "\$ quilltap list"
"$bin" list
echo
echo "\$ quilltap record --out $work/take --track 1:Kick --track 3,4:Keys --track 17:Silent --track 18:Full"
echo "  (\"stop\" on standard input after 3 s)"
(sleep 3; echo stop) | "$bin" record --out "$work/take" --track 1:Kick --track 3,4:Keys \
  --track 17:Silent --track 18:Full
echo
echo "Files:"
/usr/bin/python3 - "$work/take" <<'PY'
import os, sys
sys.path.insert(0, "tests/process")
import rig
folder = sys.argv[1]
for name in sorted(os.listdir(folder)):
    wav = rig.read_wav(os.path.join(folder, name))
    frames = len(wav.samples[0]) if wav.samples else 0
    print(f"  {name}: {wav.channels} ch, {wav.bits}-bit, {wav.rate} Hz, {frames} frames ({frames / wav.rate:.3f} s)")
PY
