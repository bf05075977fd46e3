#!/usr/bin/env bash
# The node doing its job without a robot: a simulated RGB-D camera looks at a
# virtual floor with litter, the installed node serves the detect service, and
# each answer is printed beside the scene's ground truth.
#
#   scripts/demo.sh [--color-key]   (after: cmake --install build --prefix install)
#
# The camera's model is the YOLOv8-seg network trained on rendered scenes, through
# the onnx backend (config/demo/model_onnx_demo.yaml, docs/model.md); --color-key
# (or MOORWICK_DEMO_MODEL=color_key) keys the simulated colours instead
# (config/demo/model_color_key.yaml).
#
# Environment: MOORWICK_INSTALL_PREFIX (default ./install), MOORWICK_DEMO_OUT
# (default ./build/demo_output), MOORWICK_DEMO_DOMAIN (ROS_DOMAIN_ID, default 87),
# DEMO_SECURE=1 (run every process with DDS Security, Enforce).
# DEMO_GRAB_CENTER (visible or fitted, default visible).
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
PREFIX=$(realpath -m "${MOORWICK_INSTALL_PREFIX:-$ROOT/install}")
OUT=$(realpath -m "${MOORWICK_DEMO_OUT:-$ROOT/build/demo_output}")
PKG=moorwick_arm_trash_detect
BIN=$PREFIX/lib/$PKG
NODE=$BIN/moorwick_arm_trash_detect_node
SIM=$BIN/sim_camera
CLIENT=$BIN/detect_client
INSTALLED_CONFIG=$PREFIX/share/$PKG/config
MODEL=${MOORWICK_DEMO_MODEL:-onnx}
[[ ${1:-} == --color-key ]] && MODEL=color_key
[[ ${1:-} == --onnx ]] && MODEL=onnx
case $MODEL in
  onnx) MODEL_CFG=model_onnx_demo.yaml ;;
  color_key) MODEL_CFG=model_color_key.yaml ;;
  *) printf 'demo: MOORWICK_DEMO_MODEL must be onnx or color_key, not %s\n' "$MODEL" >&2; exit 1 ;;
esac

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
fail() { printf '\ndemo: %s\n' "$*" >&2; exit 1; }

for exe in "$NODE" "$SIM" "$CLIENT"; do
  [[ -x $exe ]] || fail "$exe is missing: build and install first (cmake --install build --prefix $PREFIX)"
done
[[ -d $INSTALLED_CONFIG/demo ]] || fail "$INSTALLED_CONFIG/demo is missing: install the package first"

# A prefix of the demo's own whose share directory holds the shipped
# configuration with the demo files laid over it; the installed tree stays as is.
rm -rf "$OUT"
DEMO_PREFIX=$OUT/prefix
CONFIG=$DEMO_PREFIX/share/$PKG/config
{
  mkdir -p "$DEMO_PREFIX/share/ament_index/resource_index/packages" "$DEMO_PREFIX/share/$PKG" \
    "$OUT/data" &&
    touch "$DEMO_PREFIX/share/ament_index/resource_index/packages/$PKG" &&
    cp -r "$INSTALLED_CONFIG" "$CONFIG" &&
    cp "$INSTALLED_CONFIG"/demo/* "$CONFIG"/ &&
    ln -s "$PREFIX/share/$PKG/models" "$DEMO_PREFIX/share/$PKG/models" &&
    sed -i "s|@DEMO_CONFIG_DIR@/model_color_key.yaml|@DEMO_CONFIG_DIR@/$MODEL_CFG|" "$CONFIG/cam1_detect_config.yaml" &&
    sed -i "s|@DEMO_CONFIG_DIR@|$CONFIG|" "$CONFIG/cam1_detect_config.yaml" &&
    sed -i "s|folder_path: .*|folder_path: \"$OUT/data/\"|" "$CONFIG/demo_pose_estimate_config.yaml"
} || fail "cannot lay out the demo prefix in $OUT"
# DEMO_GRAB_CENTER=fitted (make demo DEMO_GRAB_CENTER=fitted) grabs at the
# fitted centre instead of the visible one.
GRAB_CENTER=${DEMO_GRAB_CENTER:-visible}
sed -i "s|grab_center_mode: .*|grab_center_mode: $GRAB_CENTER|" \
  "$CONFIG/demo_pose_estimate_config.yaml" || fail "cannot set grab_center_mode"
SCENE=$CONFIG/scene.yaml

export ROS_DOMAIN_ID=${MOORWICK_DEMO_DOMAIN:-87}
export CYCLONEDDS_URI=file://$INSTALLED_CONFIG/cyclonedds_loopback.xml
[[ -f $INSTALLED_CONFIG/cyclonedds_loopback.xml ]] || export CYCLONEDDS_URI=file://$ROOT/config/cyclonedds_loopback.xml
export SPDLOG_LEVEL=${SPDLOG_LEVEL:-info}

# DEMO_SECURE=1: DDS Security (docs/security.md). A fresh keystore for the
# demo's configuration; camera, node and client each run in their own enclave
# under Enforce, through small wrappers in $OUT/secure_bin.
if [[ ${DEMO_SECURE:-0} == 1 ]]; then
  KEYSTORE=$OUT/keystore
  KS_TOOL=$ROOT/scripts/sros2-keystore.sh
  demo_service=$(sed -n 's/^ *detect_service: *//p' "$CONFIG/trash_pose_detect_config.yaml")
  { "$KS_TOOL" project "$KEYSTORE" "$CONFIG" &&
    "$KS_TOOL" enclave "$KEYSTORE" /detect_client --call "$demo_service" \
      --sub /moorwick_arm_trash_detect/cam1_detected_image; } >/dev/null ||
    fail "cannot create the keystore in $KEYSTORE"
  export ROS_SECURITY_ENABLE=true ROS_SECURITY_STRATEGY=Enforce ROS_SECURITY_KEYSTORE=$KEYSTORE
  mkdir -p "$OUT/secure_bin"
  for pair in "SIM /camera_driver" "NODE /moorwick_arm_trash_detect" "CLIENT /detect_client"; do
    var=${pair% *}
    printf '#!/bin/sh\nROS_SECURITY_ENCLAVE_OVERRIDE=%s exec %s "$@"\n' "${pair#* }" "${!var}" \
      >"$OUT/secure_bin/${var,,}"
    chmod +x "$OUT/secure_bin/${var,,}"
    printf -v "$var" '%s' "$OUT/secure_bin/${var,,}"
  done
  say "DDS Security on (Enforce): keystore $KEYSTORE"
fi

PIDS=()
cleanup() {
  local pid
  for pid in "${PIDS[@]}"; do kill -INT "$pid" 2>/dev/null; done
  for pid in "${PIDS[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    if kill -0 "$pid" 2>/dev/null; then
      echo "demo: process $pid did not stop on SIGINT, killing it"
      kill -KILL "$pid" 2>/dev/null
    fi
    wait "$pid" 2>/dev/null
  done
  PIDS=()
}
trap cleanup EXIT
trap 'exit 130' INT TERM

say "Scene: $SCENE (grab_center_mode: $GRAB_CENTER)"
echo "model: $CONFIG/$MODEL_CFG"
"$SIM" "$SCENE" --truth-only || fail "sim_camera cannot read the scene"

say "Starting sim_camera (ROS_DOMAIN_ID=$ROS_DOMAIN_ID) and the node"
# The camera first: the node reads camera_info and the camera mounting from
# tf once, at start-up.
"$SIM" "$SCENE" >"$OUT/sim_camera.log" 2>&1 &
PIDS+=($!)
sleep 1
AMENT_PREFIX_PATH=$DEMO_PREFIX "$NODE" >"$OUT/node.log" 2>&1 &
NODE_PID=$!
PIDS+=($NODE_PID)
echo "node log: $OUT/node.log, camera log: $OUT/sim_camera.log"

SERVICE=$(sed -n 's/^ *detect_service: *//p' "$CONFIG/trash_pose_detect_config.yaml")
say "Waiting for the node to offer $SERVICE"
ready=0
for _ in $(seq 120); do
  kill -0 "$NODE_PID" 2>/dev/null || break
  if "$CLIENT" --service "$SERVICE" --wait 1 --repeat 1 --timeout 10 >/dev/null 2>&1; then
    ready=1
    break
  fi
done
if [[ $ready != 1 ]]; then
  echo "The node did not answer. Last lines of its log:"
  tail -n 30 "$OUT/node.log"
  fail "node not ready"
fi
echo "ready"

mapfile -t NAMES < <("$SIM" "$SCENE" --truth-only | sed -n 's/^  \[\([0-9]*\)\] \(.*\) (class .*/\1 \2/p')
RESULTS=$OUT/answers.txt
: >"$RESULTS"
IMAGE=$OUT/detection.png
for entry in "${NAMES[@]}"; do
  k=${entry%% *}
  say "Call aimed at piece $k: ${entry#* }"
  extra=()
  [[ $k == 0 ]] && extra=(--save-image /moorwick_arm_trash_detect/cam1_detected_image "$IMAGE")
  "$CLIENT" --service "$SERVICE" --truth "$SCENE" --aim-piece "$k" --timeout 15 "${extra[@]}" |
    tee -a "$RESULTS"
done

say "Summary"
within=$(grep -c "WITHIN 10 mm" "$RESULTS" || true)
outside=$(grep -c "NOT WITHIN 10 mm" "$RESULTS" || true)
no_target=$(grep -c "NO_TARGET_TRASH_CHOOSED" "$RESULTS" || true)
empty=$(grep -c "TRASH_POSE_LIST_EMPTY" "$RESULTS" || true)
timeouts=$(grep -c -e "no answer" -e "every camera timed out" "$RESULTS" || true)
echo "answers with a piece within 10 mm of the truth (horizontally, at a height on the piece): $((within - outside))"
echo "answers with a piece NOT within 10 mm:                                                  $outside"
echo "NO_TARGET_TRASH_CHOOSED (no detected piece near the aim):                               $no_target"
echo "TRASH_POSE_LIST_EMPTY (the camera found nothing graspable):                             $empty"
echo "calls without an answer or with every camera timed out:                                 $timeouts"
[[ -f $IMAGE ]] && echo "annotated detection image: $IMAGE"
echo "all answers: $RESULTS"

say "Shutting down"
cleanup
echo "done"
