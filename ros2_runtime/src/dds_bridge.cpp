// Raw-bytes sertype for Cyclone DDS: samples are kept as XCDR1 bytes; writing
// serialises a generated message straight into the sample buffer, reading
// hands the bytes to the executor, which deserialises them once.
#include "ros2_runtime/dds_bridge.hpp"

#include <dds/dds.h>
#include <dds/ddsi/ddsi_serdata.h>
#include <dds/ddsi/ddsi_sertype.h>
#include <dds/ddsi/q_radmin.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <stdexcept>

namespace ros2_runtime {
namespace {

struct RawSertype {
  ddsi_sertype c;  // first: Cyclone casts between the two
  const TypeSupport* ts;
};

struct RawSerdata {
  ddsi_serdata c;  // first
  unsigned char* buf;
  uint32_t size;  // with the encapsulation header
  // Cyclone counts references with atomics of its own, compiled without
  // ThreadSanitizer; this one makes "last reader done, then freed" visible
  // to it. It costs one uncontended atomic per sample.
  std::atomic<uint32_t> readers_done{0};
};

const RawSertype* as_raw(const ddsi_sertype* t) {
  return reinterpret_cast<const RawSertype*>(t);
}
const RawSerdata* as_raw(const ddsi_serdata* d) {
  return reinterpret_cast<const RawSerdata*>(d);
}

extern const ddsi_serdata_ops kSerdataOps;

RawSerdata* new_serdata(const ddsi_sertype* type, ddsi_serdata_kind kind, std::size_t size) {
  auto* d = new RawSerdata;
  ddsi_serdata_init(&d->c, type, kind);
  d->c.hash = type->serdata_basehash;
  // Padded to 4 bytes, and never empty, so to_ser past the end is harmless.
  const std::size_t cap = ((size + 3) & ~std::size_t{3}) + 4;
  d->buf = static_cast<unsigned char*>(std::malloc(cap));
  if (d->buf == nullptr) {
    delete d;
    return nullptr;
  }
  std::memset(d->buf + size, 0, cap - size);
  d->size = static_cast<uint32_t>(size);
  return d;
}

bool sd_eqkey(const ddsi_serdata*, const ddsi_serdata*) {
  return true;
}  // keyless
uint32_t sd_get_size(const ddsi_serdata* d) {
  return as_raw(d)->size;
}

ddsi_serdata* sd_from_ser(const ddsi_sertype* type, ddsi_serdata_kind kind,
                          const nn_rdata* fragchain, size_t size) {
  RawSerdata* d = new_serdata(type, kind, size);
  if (d == nullptr) {
    return nullptr;
  }
  // Fragments arrive in order and may overlap; copy each new byte once.
  uint32_t off = 0;
  for (const nn_rdata* f = fragchain; f != nullptr; f = f->nextfrag) {
    if (f->maxp1 > off && f->min <= off) {
      const unsigned char* payload = NN_RMSG_PAYLOADOFF(f->rmsg, NN_RDATA_PAYLOAD_OFF(f));
      const uint32_t end = f->maxp1 > size ? static_cast<uint32_t>(size) : f->maxp1;
      if (end > off) {
        std::memcpy(d->buf + off, payload + (off - f->min), end - off);
        off = end;
      }
    }
  }
  return &d->c;
}

ddsi_serdata* sd_from_ser_iov(const ddsi_sertype* type, ddsi_serdata_kind kind,
                              ddsrt_msg_iovlen_t niov, const ddsrt_iovec_t* iov, size_t size) {
  RawSerdata* d = new_serdata(type, kind, size);
  if (d == nullptr) {
    return nullptr;
  }
  std::size_t off = 0;
  for (ddsrt_msg_iovlen_t i = 0; i < niov && off < size; ++i) {
    std::size_t n = iov[i].iov_len;
    if (n > size - off) {
      n = size - off;
    }
    std::memcpy(d->buf + off, iov[i].iov_base, n);
    off += n;
  }
  return &d->c;
}

ddsi_serdata* sd_from_keyhash(const ddsi_sertype* type, const ddsi_keyhash*) {
  RawSerdata* d = new_serdata(type, SDK_KEY, 4);
  if (d == nullptr) {
    return nullptr;
  }
  const unsigned char hdr[4] = {0, static_cast<unsigned char>(cdr::host_is_little_endian()), 0, 0};
  std::memcpy(d->buf, hdr, 4);
  return &d->c;
}

ddsi_serdata* sd_from_sample(const ddsi_sertype* type, ddsi_serdata_kind kind, const void* sample) {
  const TypeSupport* ts = as_raw(type)->ts;
  if (kind != SDK_DATA) {
    return sd_from_keyhash(type, nullptr);
  }
  const std::size_t size = ts->size(sample);
  RawSerdata* d = new_serdata(type, kind, size);
  if (d == nullptr) {
    return nullptr;
  }
  ts->write(sample, d->buf);
  return &d->c;
}

void sd_to_ser(const ddsi_serdata* d, size_t off, size_t sz, void* buf) {
  std::memcpy(buf, as_raw(d)->buf + off, sz);
}

ddsi_serdata* sd_to_ser_ref(const ddsi_serdata* d, size_t off, size_t sz, ddsrt_iovec_t* ref) {
  ref->iov_base = as_raw(d)->buf + off;
  ref->iov_len = static_cast<ddsrt_iov_len_t>(sz);
  return ddsi_serdata_ref(d);
}

void sd_to_ser_unref(ddsi_serdata* d, const ddsrt_iovec_t*) {
  ddsi_serdata_unref(d);
}

// Samples are never read through dds_read/dds_take, only as bytes.
bool sd_to_sample(const ddsi_serdata*, void*, void**, void*) {
  return false;
}

ddsi_serdata* sd_to_untyped(const ddsi_serdata* d) {
  // Keyless: the instance key is empty, so the untyped form carries no data
  // (and does not pin a large sample in the instance map).
  RawSerdata* u = new_serdata(d->type, SDK_KEY, 4);
  if (u == nullptr) {
    return nullptr;
  }
  std::memcpy(u->buf, as_raw(d)->buf, as_raw(d)->size >= 4 ? 4 : as_raw(d)->size);
  return &u->c;
}

bool sd_untyped_to_sample(const ddsi_sertype*, const ddsi_serdata*, void*, void**, void*) {
  return true;
}

void sd_free(ddsi_serdata* d) {
  auto* r = reinterpret_cast<RawSerdata*>(d);
  (void)r->readers_done.load(std::memory_order_acquire);
  std::free(r->buf);
  delete r;
}

size_t sd_print(const ddsi_sertype*, const ddsi_serdata* d, char* buf, size_t size) {
  return static_cast<size_t>(std::snprintf(buf, size, "(%u bytes)", as_raw(d)->size));
}

void sd_get_keyhash(const ddsi_serdata*, ddsi_keyhash* buf, bool) {
  std::memset(buf->value, 0, sizeof(buf->value));
}

ddsi_serdata_ops make_serdata_ops() {
  ddsi_serdata_ops ops{};
  ops.eqkey = sd_eqkey;
  ops.get_size = sd_get_size;
  ops.from_ser = sd_from_ser;
  ops.from_ser_iov = sd_from_ser_iov;
  ops.from_keyhash = sd_from_keyhash;
  ops.from_sample = sd_from_sample;
  ops.to_ser = sd_to_ser;
  ops.to_ser_ref = sd_to_ser_ref;
  ops.to_ser_unref = sd_to_ser_unref;
  ops.to_sample = sd_to_sample;
  ops.to_untyped = sd_to_untyped;
  ops.untyped_to_sample = sd_untyped_to_sample;
  ops.free = sd_free;
  ops.print = sd_print;
  ops.get_keyhash = sd_get_keyhash;
  return ops;
}
const ddsi_serdata_ops kSerdataOps = make_serdata_ops();

void st_free(ddsi_sertype* t) {
  ddsi_sertype_fini(t);
  delete reinterpret_cast<RawSertype*>(t);
}
void st_zero_samples(const ddsi_sertype*, void*, size_t) {
}
void st_realloc_samples(void** ptrs, const ddsi_sertype*, void*, size_t, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    ptrs[i] = nullptr;
  }
}
void st_free_samples(const ddsi_sertype*, void**, size_t, dds_free_op_t) {
}
bool st_equal(const ddsi_sertype* a, const ddsi_sertype* b) {
  return as_raw(a)->ts == as_raw(b)->ts;
}
uint32_t st_hash(const ddsi_sertype* t) {
  return static_cast<uint32_t>(std::hash<const void*>()(as_raw(t)->ts));
}

ddsi_sertype_ops make_sertype_ops() {
  ddsi_sertype_ops ops{};
  ops.version = ddsi_sertype_v0;
  ops.arg = nullptr;
  ops.free = st_free;
  ops.zero_samples = st_zero_samples;
  ops.realloc_samples = st_realloc_samples;
  ops.free_samples = st_free_samples;
  ops.equal = st_equal;
  ops.hash = st_hash;
  return ops;
}
const ddsi_sertype_ops kSertypeOps = make_sertype_ops();

ddsi_sertype* new_sertype(const TypeSupport& ts) {
  auto* t = new RawSertype;
  std::memset(&t->c, 0, sizeof(t->c));
  t->ts = &ts;
  ddsi_sertype_init(&t->c, ts.dds_type_name.c_str(), &kSertypeOps, &kSerdataOps, true);
  t->c.allowed_data_representation = DDS_DATA_REPRESENTATION_FLAG_XCDR1;
  return &t->c;
}

int32_t create_topic(int32_t participant, const std::string& name, const TypeSupport& ts) {
  ddsi_sertype* st = new_sertype(ts);
  const dds_entity_t topic =
      dds_create_topic_sertype(participant, name.c_str(), &st, nullptr, nullptr, nullptr);
  if (topic < 0) {
    ddsi_sertype_unref(st);
    throw std::runtime_error("could not create DDS topic '" + name + "' of type '" +
                             ts.dds_type_name + "': " + dds_strretcode(topic));
  }
  return topic;
}

std::string qos_user_data(const dds_qos_t* qos) {
  void* ud = nullptr;
  size_t sz = 0;
  std::string out;
  if (qos != nullptr && dds_qget_userdata(qos, &ud, &sz) && ud != nullptr) {
    out.assign(static_cast<const char*>(ud), sz);
    dds_free(ud);
  }
  return out;
}

dds_duration_t to_dds_duration(const rmw_time_t& t) {
  if (t.sec == 0 && t.nsec == 0) {
    return DDS_INFINITY;
  }
  const uint64_t max_sec = static_cast<uint64_t>(INT64_MAX / 1000000000LL) - 1;
  if (t.sec >= max_sec) {
    return DDS_INFINITY;
  }
  return static_cast<dds_duration_t>(t.sec * 1000000000ull + t.nsec);
}

}  // namespace

dds_qos_t* make_dds_qos(const rmw_qos_profile_t& p, const std::string& user_data) {
  dds_qos_t* q = dds_create_qos();
  int32_t depth = 1;
  dds_history_kind_t hist = DDS_HISTORY_KEEP_LAST;
  if (p.history == RMW_QOS_POLICY_HISTORY_KEEP_ALL) {
    hist = DDS_HISTORY_KEEP_ALL;
    depth = DDS_LENGTH_UNLIMITED;
  } else if (p.depth > 0) {
    depth = p.depth > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(p.depth);
  }
  dds_qset_history(q, hist, depth);
  if (p.reliability == RMW_QOS_POLICY_RELIABILITY_BEST_EFFORT) {
    dds_qset_reliability(q, DDS_RELIABILITY_BEST_EFFORT, 0);
  } else {
    dds_qset_reliability(q, DDS_RELIABILITY_RELIABLE, DDS_INFINITY);
  }
  if (p.durability == RMW_QOS_POLICY_DURABILITY_TRANSIENT_LOCAL) {
    dds_qset_durability(q, DDS_DURABILITY_TRANSIENT_LOCAL);
    dds_qset_durability_service(q, 0, hist, depth, DDS_LENGTH_UNLIMITED, DDS_LENGTH_UNLIMITED,
                                DDS_LENGTH_UNLIMITED);
  } else {
    dds_qset_durability(q, DDS_DURABILITY_VOLATILE);
  }
  dds_qset_deadline(q, to_dds_duration(p.deadline));
  dds_qset_lifespan(q, to_dds_duration(p.lifespan));
  dds_qset_liveliness(q,
                      p.liveliness == RMW_QOS_POLICY_LIVELINESS_MANUAL_BY_TOPIC
                          ? DDS_LIVELINESS_MANUAL_BY_TOPIC
                          : DDS_LIVELINESS_AUTOMATIC,
                      to_dds_duration(p.liveliness_lease_duration));
  dds_qset_writer_data_lifecycle(q, false);
  dds_qset_destination_order(q, DDS_DESTINATIONORDER_BY_RECEPTION_TIMESTAMP);
  dds_qset_ownership(q, DDS_OWNERSHIP_SHARED);
  dds_qset_presentation(q, DDS_PRESENTATION_INSTANCE, false, false);
  dds_qset_latency_budget(q, 0);
  dds_qset_transport_priority(q, 0);
  const dds_data_representation_id_t xcdr1 = DDS_DATA_REPRESENTATION_XCDR1;
  dds_qset_data_representation(q, 1, &xcdr1);
  if (!user_data.empty()) {
    dds_qset_userdata(q, user_data.data(), user_data.size());
  }
  return q;
}

Gid entity_gid(int32_t entity) {
  Gid g{};
  dds_guid_t guid;
  if (dds_get_guid(entity, &guid) == DDS_RETCODE_OK) {
    std::memcpy(g.data(), guid.v, sizeof(guid.v));
  }
  return g;
}

std::string topic_to_dds(const std::string& fq) {
  return "rt" + fq;
}
std::string service_request_to_dds(const std::string& fq) {
  return "rq" + fq + "Request";
}
std::string service_reply_to_dds(const std::string& fq) {
  return "rr" + fq + "Reply";
}

std::string user_data_value(const std::string& ud, const std::string& key) {
  const std::string k = key + "=";
  std::size_t pos = 0;
  while (pos < ud.size()) {
    std::size_t end = ud.find(';', pos);
    if (end == std::string::npos) {
      end = ud.size();
    }
    if (ud.compare(pos, k.size(), k) == 0) {
      return ud.substr(pos + k.size(), end - pos - k.size());
    }
    pos = end + 1;
  }
  return {};
}

// ---------------------------------------------------------------- samples

ReceivedSample::~ReceivedSample() {
  reset();
}

ReceivedSample::ReceivedSample(ReceivedSample&& o) noexcept {
  *this = std::move(o);
}

ReceivedSample& ReceivedSample::operator=(ReceivedSample&& o) noexcept {
  if (this != &o) {
    reset();
    serdata_ = o.serdata_;
    data_ = o.data_;
    size_ = o.size_;
    publication_handle_ = o.publication_handle_;
    source_timestamp_ = o.source_timestamp_;
    o.serdata_ = nullptr;
    o.data_ = nullptr;
    o.size_ = 0;
  }
  return *this;
}

void ReceivedSample::reset() {
  if (serdata_ != nullptr) {
    ddsrt_iovec_t iov;
    iov.iov_base = const_cast<unsigned char*>(data_);
    iov.iov_len = static_cast<ddsrt_iov_len_t>(size_);
    ddsi_serdata_to_ser_unref(static_cast<ddsi_serdata*>(serdata_), &iov);
    ddsi_serdata_unref(static_cast<ddsi_serdata*>(serdata_));
    serdata_ = nullptr;
  }
  data_ = nullptr;
  size_ = 0;
}

// ---------------------------------------------------------------- participant

int32_t create_participant(uint32_t domain_id, const std::string& enclave,
                           const SecurityConfig& security) {
  dds_qos_t* qos = dds_create_qos();
  const std::string user_data = "enclave=" + enclave + ";";
  dds_qset_userdata(qos, user_data.data(), user_data.size());
  for (const auto& [name, value] : security.properties) {
    dds_qset_prop(qos, name.c_str(), value.c_str());
  }
  // Cyclone explains a refused credential in its log only: keep those lines
  // for the one error line instead of printing them apart.
  struct Collected {
    std::mutex m;
    std::string text;
  } collected;
  if (security.enabled) {
    dds_set_log_sink(
        [](void* arg, const dds_log_data_t* d) {
          auto* c = static_cast<Collected*>(arg);
          if ((d->priority & (DDS_LC_ERROR | DDS_LC_FATAL)) == 0) {
            return;
          }
          std::lock_guard<std::mutex> lock(c->m);
          c->text.append(d->message, d->size);
          c->text += ' ';
        },
        &collected);
  }
  const dds_entity_t pp =
      dds_create_participant(static_cast<dds_domainid_t>(domain_id), qos, nullptr);
  if (security.enabled) {
    dds_set_log_sink(nullptr, nullptr);
    if (pp > 0) {
      // The security plugins started OpenSSL, whose exit handler frees its
      // locks; Cyclone's threads still encrypt until the participant is
      // deleted, which a static context does only later. A handler registered
      // now runs first at exit and ends Cyclone before OpenSSL goes.
      static std::once_flag once;
      std::call_once(once, [] { std::atexit([] { dds_delete(DDS_CYCLONEDDS_HANDLE); }); });
    }
  }
  dds_delete_qos(qos);
  if (pp < 0) {
    if (security.enabled) {
      std::string why = collected.text;
      std::replace(why.begin(), why.end(), '\n', ' ');
      while (!why.empty() && why.back() == ' ') {
        why.pop_back();
      }
      throw SecurityError("DDS Security refused the credentials in " + security.enclave_dir + " (" +
                          dds_strretcode(pp) +
                          "): " + (why.empty() ? std::string("see the Cyclone DDS log") : why));
    }
    throw std::runtime_error(std::string("could not create the DDS participant: ") +
                             dds_strretcode(pp));
  }
  return pp;
}

// ---------------------------------------------------------------- incompatible QoS

namespace {
// rmw_cyclonedds' policy kinds under rclcpp's names; other DDS policies are
// "invalid" there too.
const char* rclcpp_policy_name(uint32_t policy_id) {
  switch (policy_id) {
    case DDS_DURABILITY_QOS_POLICY_ID:
      return "DURABILITY_QOS_POLICY";
    case DDS_DEADLINE_QOS_POLICY_ID:
      return "DEADLINE_QOS_POLICY";
    case DDS_LIVELINESS_QOS_POLICY_ID:
      return "LIVELINESS_QOS_POLICY";
    case DDS_RELIABILITY_QOS_POLICY_ID:
      return "RELIABILITY_QOS_POLICY";
    case DDS_HISTORY_QOS_POLICY_ID:
      return "HISTORY_QOS_POLICY";
    case DDS_LIFESPAN_QOS_POLICY_ID:
      return "LIFESPAN_QOS_POLICY";
    default:
      return "INVALID_QOS_POLICY";
  }
}

void on_offered_incompatible_qos(dds_entity_t, const dds_offered_incompatible_qos_status_t status,
                                 void* arg) {
  (*static_cast<IncompatibleQosCallback*>(arg))(rclcpp_policy_name(status.last_policy_id));
}
}  // namespace

// ---------------------------------------------------------------- writer

DdsWriter::DdsWriter(int32_t participant, const std::string& dds_topic, const TypeSupport& ts,
                     const rmw_qos_profile_t& qos, const std::string& user_data,
                     IncompatibleQosCallback on_incompatible_qos) {
  topic_ = create_topic(participant, dds_topic, ts);
  dds_qos_t* q = make_dds_qos(qos, user_data);
  dds_listener_t* l = nullptr;
  if (on_incompatible_qos) {
    on_incompatible_qos_ =
        std::make_unique<IncompatibleQosCallback>(std::move(on_incompatible_qos));
    l = dds_create_listener(on_incompatible_qos_.get());
    dds_lset_offered_incompatible_qos(l, on_offered_incompatible_qos);
  }
  writer_ = dds_create_writer(participant, topic_, q, l);
  if (l != nullptr) {
    dds_delete_listener(l);
  }
  dds_delete_qos(q);
  if (writer_ < 0) {
    dds_delete(topic_);
    throw std::runtime_error("could not create DDS writer on '" + dds_topic +
                             "': " + dds_strretcode(writer_));
  }
  dds_instance_handle_t ih = 0;
  dds_get_instance_handle(writer_, &ih);
  instance_handle_ = ih;
}

DdsWriter::~DdsWriter() {
  dds_delete(writer_);
  dds_delete(topic_);
}

bool DdsWriter::write(const void* sample) {
  return dds_write(writer_, sample) == DDS_RETCODE_OK;
}

std::size_t DdsWriter::matched_count() const {
  dds_publication_matched_status_t st{};
  if (dds_get_publication_matched_status(writer_, &st) != DDS_RETCODE_OK) {
    return 0;
  }
  return st.current_count;
}

std::vector<std::string> DdsWriter::matched_reader_user_data() const {
  std::vector<std::string> out;
  dds_instance_handle_t hs[128];
  const dds_return_t n = dds_get_matched_subscriptions(writer_, hs, 128);
  for (dds_return_t i = 0; i < n && i < 128; ++i) {
    dds_builtintopic_endpoint_t* ep = dds_get_matched_subscription_data(writer_, hs[i]);
    if (ep != nullptr) {
      out.push_back(qos_user_data(ep->qos));
      dds_builtintopic_free_endpoint(ep);
    }
  }
  return out;
}

// ---------------------------------------------------------------- reader

struct DdsReader::ListenerState {
  std::function<void()> on_data;
  IncompatibleQosCallback on_incompatible_qos;
};

namespace {
void on_data_available(dds_entity_t, void* arg) {
  static_cast<DdsReader::ListenerState*>(arg)->on_data();
}
void on_requested_incompatible_qos(dds_entity_t,
                                   const dds_requested_incompatible_qos_status_t status,
                                   void* arg) {
  static_cast<DdsReader::ListenerState*>(arg)->on_incompatible_qos(
      rclcpp_policy_name(status.last_policy_id));
}
}  // namespace

DdsReader::DdsReader(int32_t participant, const std::string& dds_topic, const TypeSupport& ts,
                     const rmw_qos_profile_t& qos, const std::string& user_data,
                     std::function<void()> on_data, IncompatibleQosCallback on_incompatible_qos)
    : listener_state_(new ListenerState{std::move(on_data), std::move(on_incompatible_qos)}) {
  topic_ = create_topic(participant, dds_topic, ts);
  dds_qos_t* q = make_dds_qos(qos, user_data);
  dds_listener_t* l = dds_create_listener(listener_state_.get());
  dds_lset_data_available(l, on_data_available);
  if (listener_state_->on_incompatible_qos) {
    dds_lset_requested_incompatible_qos(l, on_requested_incompatible_qos);
  }
  reader_ = dds_create_reader(participant, topic_, q, l);
  dds_delete_listener(l);
  dds_delete_qos(q);
  if (reader_ < 0) {
    dds_delete(topic_);
    throw std::runtime_error("could not create DDS reader on '" + dds_topic +
                             "': " + dds_strretcode(reader_));
  }
}

DdsReader::~DdsReader() {
  // Deleting the reader waits for a running listener call, so the state it
  // uses is released only afterwards.
  dds_delete(reader_);
  dds_delete(topic_);
}

bool DdsReader::take(ReceivedSample& out) {
  for (;;) {
    ddsi_serdata* sd = nullptr;
    dds_sample_info_t info;
    const dds_return_t n = dds_takecdr(reader_, &sd, 1, &info, DDS_ANY_STATE);
    if (n <= 0) {
      return false;
    }
    if (!info.valid_data) {
      ddsi_serdata_unref(sd);
      continue;
    }
    out.reset();
    ddsrt_iovec_t iov;
    const uint32_t size = ddsi_serdata_size(sd);
    // The take's reference is kept until reset(), with the one to_ser_ref adds.
    ddsi_serdata_to_ser_ref(sd, 0, size, &iov);
    out.serdata_ = sd;
    out.data_ = static_cast<const unsigned char*>(iov.iov_base);
    out.size_ = size;
    out.publication_handle_ = info.publication_handle;
    out.source_timestamp_ = info.source_timestamp;
    return true;
  }
}

std::size_t DdsReader::matched_count() const {
  dds_subscription_matched_status_t st{};
  if (dds_get_subscription_matched_status(reader_, &st) != DDS_RETCODE_OK) {
    return 0;
  }
  return st.current_count;
}

std::vector<std::string> DdsReader::matched_writer_user_data() const {
  std::vector<std::string> out;
  dds_instance_handle_t hs[128];
  const dds_return_t n = dds_get_matched_publications(reader_, hs, 128);
  for (dds_return_t i = 0; i < n && i < 128; ++i) {
    dds_builtintopic_endpoint_t* ep = dds_get_matched_publication_data(reader_, hs[i]);
    if (ep != nullptr) {
      out.push_back(qos_user_data(ep->qos));
      dds_builtintopic_free_endpoint(ep);
    }
  }
  return out;
}

std::string DdsReader::writer_user_data(uint64_t publication_handle) const {
  dds_builtintopic_endpoint_t* ep = dds_get_matched_publication_data(reader_, publication_handle);
  if (ep == nullptr) {
    return {};
  }
  std::string ud = qos_user_data(ep->qos);
  dds_builtintopic_free_endpoint(ep);
  return ud;
}

}  // namespace ros2_runtime
