# The two commands: `make run` and `make test`. Both install what they need.
# `make bench` measures (build/bench.json).
.PHONY: build run test bench clean

build:
	@tools/deps.sh
	@tools/build.sh

run:
	@tools/deps.sh
	@tools/build.sh
	@tools/run.sh

test:
	@tools/test.sh

bench:
	@tools/deps.sh
	@tools/build.sh
	@/usr/bin/python3 tools/bench.py

clean:
	rm -rf build
