#!/bin/sh
# A long power-loss run: N cuts with sync on and N with the default, on the
# simulated file system. Usage: scripts/power-loss.sh [CUTS] [SEED] [BUILD_DIR]
set -e
cuts=${1:-2000}
seed=${2:-1}
build=${3:-build/tests}
exec "$build/power_loss_test" --cuts "$cuts" --seed "$seed"
