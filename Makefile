# The two commands of the README: `make run` (the main job) and `make test` (every test).
.PHONY: run test build clean

test:
	scripts/test.sh

run:
	scripts/run.sh

build:
	scripts/build.sh

clean:
	rm -rf build
