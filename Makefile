# The two commands: `make run` and `make test`. Both install what they need.
# `make demo` plays a power cut and saves pictures in build/demo/; `make
# pictures` does the same and refreshes the README's copies in docs/pictures/.
# `make bench` measures and writes build/bench.json. `make release` builds
# what a Windows user downloads into dist/, from the checked-out commit.
.PHONY: build run test demo pictures bench release clean

build:
	@tools/deps.sh
	@tools/build.sh

run:
	@tools/deps.sh
	@tools/build.sh
	@tools/run.sh

test:
	@tools/test.sh

demo:
	@tools/demo.sh

pictures:
	@tools/demo.sh --docs

bench:
	@tools/deps.sh bench
	@tools/build.sh
	@/usr/bin/python3 tools/bench.py

release:
	@tools/deps.sh release
	@/usr/bin/python3 tools/release.py

clean:
	rm -rf build
