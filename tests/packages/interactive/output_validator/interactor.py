#!/usr/bin/env python3
# The secret number is in the input file; 11 guesses between 1 and 1000.
import sys

secret = int(open(sys.argv[1]).read())
for guess_count in range(1, 12):
    line = sys.stdin.readline()
    if not line:
        break
    guess = int(line)
    if guess == secret:
        print("correct", flush=True)
        open(sys.argv[3] + "judgemessage.txt", "w").write("found in %d" % guess_count)
        sys.exit(42)
    print("lower" if guess > secret else "higher", flush=True)
open(sys.argv[3] + "judgemessage.txt", "w").write("not found")
sys.exit(43)
