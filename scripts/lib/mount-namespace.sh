# Sourced by the scripts that run a Wine of their own root. namespace_propagation PREFERRED
# prints the propagation to give `unshare --mount`: PREFERRED (private or slave) keeps the
# namespace's mounts from reaching the machine. In a chroot whose "/" is not a mount point (as
# ../shared/tools/fresh-debian-root makes) no propagation can be set, and "unchanged" is used
# when no mount in view is shared, so the namespace's mounts reach no other namespace either.
# Otherwise it fails with the reason.
namespace_propagation() {
  if unshare --mount --propagation "$1" true 2>/dev/null; then
    echo "$1"
  elif ! grep -q ' shared:' /proc/self/mountinfo 2>/dev/null && unshare --mount --propagation unchanged true 2>/dev/null; then
    echo unchanged
  else
    echo "$(basename "$0"): cannot make a mount namespace of its own here (unshare --mount, as root)" >&2
    return 1
  fi
}
