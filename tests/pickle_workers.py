"""Functions that worker processes import by name (spawn and forkserver need that)."""


def fetch_all(fasta, regions):
    return [str(s) for s in fasta.fetch_many(regions)]


def fetch_one(record, start, end):
    return str(record[start:end])
