#!/usr/bin/env bash
# Fails if the optimised benchmark keeps an out-of-line copy of any hash under test: each must be
# expanded into its timed loop or hasher, so that a case measures the algorithm, not a call.
# Usage: [NM=nm-for-the-target] scripts/check_inlining.sh [BINARY]   (default build/hashbench)
set -euo pipefail
binary=${1:-build/hashbench}
hashes='fnv1a_hash|X31_hash_string|HashRamakrishna|fletcher32s|fletcher_fold|one_at_a_time_hash|lookup2_hash|lookup2_mix|sign_widened|XXH_INLINE_XXH32|XXH_INLINE_XXH64|XXH32|XXH64|XXH32_[a-z_]+|XXH64_[a-z_]+'
found=$("${NM:-nm}" -C "$binary" | grep -E " ($hashes)\(" || true)
if [[ -n $found ]]; then
  echo "check_inlining.sh: out-of-line hash functions in $binary:" >&2
  echo "$found" >&2
  exit 1
fi
echo "check_inlining.sh: every hash is inlined in $binary"
