# The two commands: `make run` and `make test`. Both install what they need.
.PHONY: build run test clean

build:
	@tools/deps.sh
	@tools/build.sh

run:
	@tools/deps.sh
	@tools/build.sh
	@tools/run.sh

test:
	@tools/test.sh

clean:
	rm -rf build
