# The README's two commands: `make run` (the main job) and `make test` (every test).
# Options for the stand-in host go in ARGS: make run ARGS="--port 1111 --quiet".
.PHONY: run test build bench dist clean

test:
	scripts/test.sh

run:
	scripts/run.sh $(ARGS)

build:
	scripts/build.sh

bench:
	scripts/bench.sh

dist:
	scripts/dist.sh

clean:
	rm -rf build
