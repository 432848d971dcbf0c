#!/bin/sh
# train_network.sh - rebuilds data/network.txt from scratch.
#
#   tools/train_network.sh [work-dir]        (run from the repository root)
#
# 1. tools/datagen.py plays GAMES games from the openings of
#    data/books/8moves_v3_balanced.epd (going round the book again once it
#    is used up), with stockfish searching NODES nodes per move on one
#    thread; about 8% of the moves in the first 60 plies are replaced by a
#    seeded random legal move.  Positions that are not in check, whose best
#    move is quiet and whose score is not a mate score are written with
#    stockfish's score (centipawns, side to move) to WORK/positions.data.
# 2. tools/trainer.cpp is built with the host compiler and fits the network
#    (768 -> 2x128 -> 32 -> 32 -> 1) to those labels: sigmoid(cp/400)
#    squared error, Adam, BATCH positions per step, EPOCHS epochs, labels
#    clipped to +-2000 cp, the last 5% of the positions held out.
# 3. The result is copied to data/network.txt.
#
# An existing WORK/positions.data is reused (delete it to play the games
# again).  Everything is seeded (SEED): on the same machine and the same
# stockfish the same file comes out.  With GAMES=6000 and NODES=2000 the data step takes
# about 26 minutes of one core and gives 359513 positions; training
# takes 10-15 minutes.  Both steps run at low priority (nice 10).
set -eu

GAMES=${GAMES:-6000}
NODES=${NODES:-2000}
SEED=${SEED:-1}
EPOCHS=${EPOCHS:-40}
BATCH=${BATCH:-1024}
LR=${LR:-0.001}
STOCKFISH=${STOCKFISH:-/usr/games/stockfish}
WORK=${1:-build/train}

mkdir -p "$WORK"
if [ ! -s "$WORK/positions.data" ]; then
    nice -n 10 python3 tools/datagen.py --book data/books/8moves_v3_balanced.epd \
        --out "$WORK/positions.data" --engine "$STOCKFISH" \
        --games "$GAMES" --nodes "$NODES" --seed "$SEED"
fi
${CXX:-g++} -std=c++17 -O3 -march=native -o "$WORK/trainer" tools/trainer.cpp
nice -n 10 "$WORK/trainer" --data "$WORK/positions.data" --out "$WORK/network.txt" \
    --epochs "$EPOCHS" --batch "$BATCH" --lr "$LR" --seed "$SEED" | tee "$WORK/trainer.log"
cp "$WORK/network.txt" data/network.txt
echo "train_network: data/network.txt written"
