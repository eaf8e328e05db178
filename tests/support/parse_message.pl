#!/usr/bin/perl
# Parses one message file with Perl's Email::MIME, a reader written apart from Python's
# email package, and prints what parse_message.py prints, in its form, but for its
# "defects" line (Email::MIME reports none):
#
#   headers <names, comma-separated, lower case>
#   subject <hex>
#   <from|to|cc|reply-to> <hex display name> <hex address>
#   multipart <type>
#   part <type> <hex file name or -> <hex content>
#   content-id <value>                               (after a part that has one)
#
# Texts are hex of UTF-8; text contents have their line ends as LF.
use strict;
use warnings;
use Email::MIME;
use Encode qw(encode);

# Hex of a character string as UTF-8, or of a byte string as it is; "-" for none.
sub hex_text { my ($v) = @_; return defined $v && length $v ? unpack('H*', encode('UTF-8', $v)) : '-'; }
sub hex_bytes { my ($v) = @_; return defined $v && length $v ? unpack('H*', $v) : '-'; }

my $path = shift;
open(my $file, '<:raw', $path) or die "$path: $!";
my $message = Email::MIME->new(do { local $/; <$file> });
my @pairs = $message->header_obj->header_pairs;
my @names = map { lc $pairs[2 * $_] } 0 .. $#pairs / 2;
print 'headers ', join(',', @names), "\n";
print 'subject ', hex_text($message->header_str('Subject') // ''), "\n";
for my $field ('from', 'to', 'cc', 'reply-to') {
  next unless defined $message->header_raw($field);
  for my $address ($message->header_as_obj($field)->addresses) {
    print "$field ", hex_text($address->phrase), ' ', hex_text($address->address), "\n";
  }
}
$message->walk_parts(sub {
  my ($part) = @_;
  my $type = lc(($part->content_type // 'text/plain') =~ s/;.*//sr);
  $type =~ s/\s+//g;
  if ($part->subparts) {
    print "multipart $type\n";
    return;
  }
  my $content = $type =~ m{^text/} ? $part->body_str =~ s/\r\n/\n/gr : $part->body;
  my $hex = $type =~ m{^text/} ? hex_text($content) : hex_bytes($content);
  print "part $type ", hex_text($part->filename), " $hex\n";
  my $id = $part->header_raw('Content-ID');
  print "content-id $id\n" if defined $id;
});
