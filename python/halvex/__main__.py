"""python3 -m halvex: boards, plot and record."""

import sys


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if not argv or argv[0] in ("-h", "--help"):
        print("usage: python3 -m halvex {boards,plot,record} ...\n"
              "  boards   list the boards the library opened\n"
              "  plot     acquire (or read an hxcli CSV or .npy file, or a recording) and save a PNG; plot --help\n"
              "  record   record a stream to an HDF5 file; record --help for options")
        return 0 if argv else 2
    command, rest = argv[0], argv[1:]
    if command == "plot":
        from .plot import main as plot

        return plot(rest)
    if command == "record":
        from .record import main as record

        return record(rest)
    if command == "boards":
        from . import boards, version

        print("Halvex %d.%d.%d" % version())
        for board in boards():
            print(board)
        return 0
    print(f"python3 -m halvex: unknown command {command!r} (boards, plot, record)", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
