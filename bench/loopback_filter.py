"""The client's loopback-only peer filter, for the bare sessions the benchmarks measure it against."""
import libtorrent as lt


def loopback_filter():
    rules = lt.ip_filter()
    rules.add_rule('0.0.0.0', '255.255.255.255', 1)
    rules.add_rule('127.0.0.0', '127.255.255.255', 0)
    rules.add_rule('::', 'ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff', 1)
    rules.add_rule('::1', '::1', 0)
    return rules
