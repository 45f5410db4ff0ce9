# The README's two commands: `make run` (the main job) and `make test` (every test).
.PHONY: run test build bench dist clean

test:
	scripts/test.sh

run:
	scripts/run.sh

build:
	scripts/build.sh

bench:
	scripts/bench.sh

dist:
	scripts/dist.sh

clean:
	rm -rf build
