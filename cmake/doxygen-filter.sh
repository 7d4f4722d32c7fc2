#!/bin/sh
# Doxygen input filter: the public headers document with plain // comments above a declaration and after
# a member; read them as /// and ///< so Doxygen attaches them, leaving the headers as they are.
exec sed -e 's|^\( *\)// |\1/// |' -e 's|;\( *\)// |;\1///< |' "$1"
