"""Writes a catalogue in the search's line format: a header, then lines of a 20-byte date, the
base64 info-hash, the quoted name from byte 51 and the size. Usage: make_catalogue.py FILE MiB."""
import base64
import random
import sys

WORDS = ("alpha bravo charlie delta echo foxtrot golf hotel india juliet kilo lima mike "
         "november oscar papa quebec romeo sierra tango uniform victor whiskey xray yankee "
         "zulu live image album season collection edition remaster archive").split()


def main():
    path, mib = sys.argv[1], int(sys.argv[2])
    rng = random.Random(52)
    target = mib * 1024 * 1024
    written = 0
    with open(path, "w", encoding="ascii", newline="\n") as out:
        header = "date;hash;name;size\n"
        out.write(header)
        written += len(header)
        chunk = []
        while written < target:
            name = " ".join(rng.choice(WORDS) for _ in range(rng.randint(3, 9)))
            if rng.random() < 0.0005:
                name += " Debian"  # the rare term the benchmark looks for
            digest = base64.b64encode(rng.randbytes(20)).decode()
            line = "2024-%02d-%02d %02d:%02d:%02d ;%s;\"%s\";%d\n" % (
                rng.randint(1, 12), rng.randint(1, 28), rng.randint(0, 23), rng.randint(0, 59),
                rng.randint(0, 59), digest, name, rng.randint(1, 1 << 40))
            chunk.append(line)
            written += len(line)
            if len(chunk) == 10000:
                out.write("".join(chunk))
                chunk = []
        out.write("".join(chunk))


if __name__ == "__main__":
    main()
