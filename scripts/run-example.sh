#!/bin/sh
# Writes the bundled example scenario into a fresh folder and runs it.
set -e
BUILD_DIR=$1
DIR=$2
rm -rf "$DIR"
"$BUILD_DIR/vestra" example "$DIR"
"$BUILD_DIR/vestra" run "$DIR/scenario.toml"
echo "Results are in $(cd "$DIR" && pwd)"
