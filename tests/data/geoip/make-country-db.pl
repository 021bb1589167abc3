#!/usr/bin/perl
# Writes a small country database in the MaxMind DB format for the tests: two documentation
# networks with a country each (IPv4 and IPv6), and nothing else.
# Usage: make-country-db.pl OUTPUT.mmdb
use strict;
use warnings;
use MaxMind::DB::Writer::Tree;

my %types = (country => 'map', iso_code => 'utf8_string', names => 'map', en => 'utf8_string');
my $tree = MaxMind::DB::Writer::Tree->new(
    ip_version            => 6,
    record_size           => 24,
    database_type         => 'GeoLite2-Country',
    languages             => ['en'],
    description           => { en => 'Velmora test countries' },
    alias_ipv6_to_ipv4    => 1,
    # the test networks are documentation ranges, which the writer leaves out by default
    remove_reserved_networks => 0,
    map_key_type_callback => sub { $types{ $_[0] } },
);
$tree->insert_network('192.0.2.0/24', { country => { iso_code => 'US', names => { en => 'United States' } } });
$tree->insert_network('198.51.100.0/24', { country => { iso_code => 'DE', names => { en => 'Germany' } } });
$tree->insert_network('2001:db8::/32', { country => { iso_code => 'JP', names => { en => 'Japan' } } });
open my $out, '>:raw', $ARGV[0] or die "cannot write $ARGV[0]: $!";
$tree->write_tree($out);
close $out;
