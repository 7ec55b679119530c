# shellcheck shell=sh
# velquinwatch: velquin, with the port's settings put back however it ends,
# Ctrl-C included, which on a built-in port or a real cable is how watching
# ends. Source this file from ~/.bashrc (`. /usr/share/doc/velquin/examples/
# velquin-watch.sh`), then run `velquinwatch` where you would run `velquin`,
# as in `velquinwatch | tee session.log`. VELQUIN_PORT names the port when the
# tool was built for another.
#
# stty -g records every setting but a custom speed (250000 bps and the like),
# which stty can neither note nor set.

# The body is a subshell of its own: the caller's shell keeps its INT trap
# and its variables (and zsh's status, which is read-only there, is not one).
velquinwatch() (
  port=${VELQUIN_PORT:-/dev/ttyS1}
  saved=$(stty -F "$port" -g) || exit
  # Ctrl-C ends velquin; the subshell goes on to put the settings back.
  trap : INT
  velquin
  ended=$?
  stty -F "$port" "$saved"
  exit $ended
)
