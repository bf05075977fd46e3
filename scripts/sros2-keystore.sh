#!/usr/bin/env bash
# A DDS Security keystore in the SROS2 layout, made with openssl alone, so the
# node and its peers can run with ROS_SECURITY_ENABLE=true (docs/security.md).
#
#   scripts/sros2-keystore.sh init KEYSTORE
#       identity CA, permissions CA and the signed governance document
#   scripts/sros2-keystore.sh enclave KEYSTORE NAME [--pub TOPIC]... [--sub TOPIC]...
#                                                  [--serve SERVICE]... [--call SERVICE]...
#       one enclave: key, certificate (CN=NAME) and permissions that allow
#       exactly the listed ROS topics and services, signed by the permissions CA
#   scripts/sros2-keystore.sh project KEYSTORE [CONFIG_DIR]
#       init, then the enclaves of this project from the node's configuration
#       (default: the repository's config/): /moorwick_arm_trash_detect (the
#       node), /detect_client (calls the detect service, nothing else) and
#       /camera_driver (publishes the camera topics and transforms)
#
# Governance and permissions cover the domain ROS_DOMAIN_ID (default 0) at
# the time of the call, as `ros2 security` does. Existing CAs and enclave keys
# are kept; permissions are rewritten and signed again on every call.
set -euo pipefail

usage() { sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
die() { echo "sros2-keystore: $*" >&2; exit 1; }

command -v openssl >/dev/null || die "openssl is missing (Debian package openssl)"
[ $# -ge 2 ] || usage
cmd=$1
ks=$2
shift 2
domain=${ROS_DOMAIN_ID:-0}
[[ $domain =~ ^[0-9]+$ ]] || die "ROS_DOMAIN_ID is not a number: $domain"

new_key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }

# A self-signed CA (prime256v1, SHA-256, ten years), unless it exists.
make_ca() {
  local name=$1 cn=$2
  local key=$ks/private/$name.key.pem cert=$ks/public/$name.cert.pem
  [ -f "$key" ] && [ -f "$cert" ] && return 0
  new_key "$key"
  chmod 600 "$key"
  openssl req -new -x509 -key "$key" -out "$cert" -days 3650 -sha256 -subj "/CN=$cn" \
    -addext "basicConstraints=critical,CA:TRUE,pathlen:1" 2>/dev/null
}

# S/MIME (text/plain, detached signature) by the permissions CA, as Cyclone
# DDS's access control plugin reads it.
sign() {
  openssl smime -sign -text -md sha256 -in "$1" -out "$2" \
    -signer "$ks/public/permissions_ca.cert.pem" -inkey "$ks/private/permissions_ca.key.pem"
}

xml_escape() { sed -e 's/&/\&amp;/g' -e 's/</\&lt;/g' -e 's/>/\&gt;/g' <<<"$1"; }

cmd_init() {
  mkdir -p "$ks/public" "$ks/private" "$ks/enclaves"
  chmod 700 "$ks/private"
  make_ca identity_ca moorwick_identity_ca
  make_ca permissions_ca moorwick_permissions_ca
  # Authenticated, access-controlled and encrypted: discovery, liveliness,
  # submessages and payload of every topic. No unauthenticated participant joins.
  cat >"$ks/enclaves/governance.xml" <<EOF
<?xml version="1.0" encoding="UTF-8"?>
<dds>
  <domain_access_rules>
    <domain_rule>
      <domains>
        <id>$domain</id>
      </domains>
      <allow_unauthenticated_participants>false</allow_unauthenticated_participants>
      <enable_join_access_control>true</enable_join_access_control>
      <discovery_protection_kind>ENCRYPT</discovery_protection_kind>
      <liveliness_protection_kind>ENCRYPT</liveliness_protection_kind>
      <rtps_protection_kind>ENCRYPT</rtps_protection_kind>
      <topic_access_rules>
        <topic_rule>
          <topic_expression>*</topic_expression>
          <enable_discovery_protection>true</enable_discovery_protection>
          <enable_liveliness_protection>true</enable_liveliness_protection>
          <enable_read_access_control>true</enable_read_access_control>
          <enable_write_access_control>true</enable_write_access_control>
          <metadata_protection_kind>ENCRYPT</metadata_protection_kind>
          <data_protection_kind>ENCRYPT</data_protection_kind>
        </topic_rule>
      </topic_access_rules>
    </domain_rule>
  </domain_access_rules>
</dds>
EOF
  sign "$ks/enclaves/governance.xml" "$ks/enclaves/governance.p7s"
}

# ROS names to DDS topic names, as rmw_cyclonedds names them.
fq() { [[ $1 == /* ]] && echo "$1" || echo "/$1"; }

topics_xml() {
  local t
  for t in "$@"; do
    printf '            <topic>%s</topic>\n' "$(xml_escape "$t")"
  done
}

cmd_enclave() {
  [ $# -ge 1 ] || usage
  local name=$1
  shift
  [[ $name == /* && $name != *//* && $name != */ || $name == / ]] ||
    die "enclave name must be an absolute ROS namespace (like /my_node): $name"
  [ -f "$ks/enclaves/governance.p7s" ] || die "$ks is not a keystore (run: $0 init $ks)"
  # Every process publishes and reads the ROS graph description.
  local pub=(ros_discovery_info) sub=(ros_discovery_info) s
  while [ $# -gt 0 ]; do
    [ $# -ge 2 ] || usage
    case $1 in
      --pub) pub+=("rt$(fq "$2")") ;;
      --sub) sub+=("rt$(fq "$2")") ;;
      --serve) s=$(fq "$2"); sub+=("rq${s}Request"); pub+=("rr${s}Reply") ;;
      --call) s=$(fq "$2"); pub+=("rq${s}Request"); sub+=("rr${s}Reply") ;;
      *) usage ;;
    esac
    shift 2
  done
  mapfile -t pub < <(printf '%s\n' "${pub[@]}" | sort -u)
  mapfile -t sub < <(printf '%s\n' "${sub[@]}" | sort -u)

  local rel=${name#/}
  local dir=$ks/enclaves${rel:+/$rel}
  mkdir -p "$dir"
  local up
  up=$(realpath -m --relative-to="$dir" "$ks")
  ln -sfn "$up/public/identity_ca.cert.pem" "$dir/identity_ca.cert.pem"
  ln -sfn "$up/public/permissions_ca.cert.pem" "$dir/permissions_ca.cert.pem"
  ln -sfn "$up/enclaves/governance.p7s" "$dir/governance.p7s"
  if [ ! -f "$dir/key.pem" ] || [ ! -f "$dir/cert.pem" ]; then
    new_key "$dir/key.pem"
    chmod 600 "$dir/key.pem"
    # A '/' in the common name is escaped for openssl's -subj syntax.
    openssl req -new -key "$dir/key.pem" -subj "/CN=${name//\//\\/}" -out "$dir/cert.csr" 2>/dev/null
    openssl x509 -req -in "$dir/cert.csr" -out "$dir/cert.pem" -days 3650 -sha256 \
      -CA "$ks/public/identity_ca.cert.pem" -CAkey "$ks/private/identity_ca.key.pem" \
      -set_serial "0x$(openssl rand -hex 16)" \
      -extfile <(echo "basicConstraints=critical,CA:FALSE") 2>/dev/null
    rm -f "$dir/cert.csr"
  fi
  local now until
  now=$(date -u +%Y-%m-%dT%H:%M:%S)
  until=$(date -u -d '+10 years' +%Y-%m-%dT%H:%M:%S)
  cat >"$dir/permissions.xml" <<EOF
<?xml version="1.0" encoding="UTF-8"?>
<dds>
  <permissions>
    <grant name="$(xml_escape "$name")">
      <subject_name>CN=$(xml_escape "$name")</subject_name>
      <validity>
        <not_before>$now</not_before>
        <not_after>$until</not_after>
      </validity>
      <allow_rule>
        <domains>
          <id>$domain</id>
        </domains>
        <publish>
          <topics>
$(topics_xml "${pub[@]}")
          </topics>
        </publish>
        <subscribe>
          <topics>
$(topics_xml "${sub[@]}")
          </topics>
        </subscribe>
      </allow_rule>
      <default>DENY</default>
    </grant>
  </permissions>
</dds>
EOF
  sign "$dir/permissions.xml" "$dir/permissions.p7s"
}

# "key: value" of a flat YAML line, quotes removed.
yaml_value() {
  sed -n "s/^[[:space:]]*$1:[[:space:]]*//p" "$2" | head -n1 | sed -e 's/[[:space:]]*#.*$//' \
    -e 's/^["'\'']//' -e 's/["'\'']$//'
}

cmd_project() {
  local root config main service cams i file id t
  root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  config=${1:-$root/config}
  main=$config/trash_pose_detect_config.yaml
  [ -f "$main" ] || die "$main: no such file"
  service=$(yaml_value detect_service "$main")
  [ -n "$service" ] || die "$main: no detect_service"
  cams=$(sed -n '/trash_detect_node_array:/,/^[[:space:]]*[a-z_]*:/p' "$main" | grep -c '^[[:space:]]*- ' || true)
  [ "$cams" -ge 1 ] || die "$main: no camera in trash_detect_node_array"

  local node=(--serve "$service" --sub /tf --sub /tf_static --pub /tf_static
    --pub /moorwick_arm_trash_detect/grab_trash_cloud)
  local camera=(--pub /tf --pub /tf_static)
  for ((i = 1; i <= cams; i++)); do
    file=$config/cam${i}_detect_config.yaml
    [ -f "$file" ] || die "$file: no such file"
    id=$(yaml_value cam_id "$file")
    for t in rgb_topic depth_topic camera_info_topic; do
      t=$(yaml_value "$t" "$file")
      [ -n "$t" ] && node+=(--sub "$t") && camera+=(--pub "$t")
    done
    for t in detected_image_topic trashes_cloud_topic; do
      node+=(--pub "$(yaml_value "$t" "$file")")
    done
    for t in trashes_init_cloud trash_obb_markers trash_pose; do
      node+=(--pub "/moorwick_arm_trash_detect/cam${id}_$t")
    done
  done
  cmd_init
  cmd_enclave /moorwick_arm_trash_detect "${node[@]}"
  cmd_enclave /detect_client --call "$service"
  cmd_enclave /camera_driver "${camera[@]}"
}

case $cmd in
  init) [ $# -eq 0 ] || usage; cmd_init ;;
  enclave) cmd_enclave "$@" ;;
  project) [ $# -le 1 ] || usage; cmd_project "$@" ;;
  *) usage ;;
esac
