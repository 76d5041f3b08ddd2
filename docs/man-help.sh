#!/bin/sh
# help2man runs this in place of the tool ($QARVEL_TOOL): the tool's --help
# and --version pass through with the headings help2man looks for (Usage: and
# or:, Options:, *Section*) and two spaces between each option and its text.
"$QARVEL_TOOL" "$@" | sed \
  -e 's/^usage: /Usage: /' \
  -e 's/^       qarvel /  or:  qarvel /' \
  -e 's/^options:$/Options:/' \
  -e '/^Options:$/,/^$/s/^\( *\(-[a-zA-Z], \)\{0,1\}--[a-z-]*\( [A-Z][A-Z]*\)\{0,1\}\) \([a-z(]\)/\1  \4/' \
  -e '/^Options:$/,/^$/{/^$/a *Notes*' -e '}' \
  -e 's/^exit status: /*Exit status*\n/'
