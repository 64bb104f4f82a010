// Replay protection at any scale: one memcache item per accepted id, claimed
// with memcached's insert-if-absent. No lock item and no shared record, so a
// sign-on costs the same whatever the number of live ids, and the ids spread
// over every server of a cluster.
//
// Each id may be kept on several servers (`replicas`): the highest-ranked of
// the configured servers for that id, claimed one after the other in rank
// order. The first server of that order that answers both of two racing
// posts lets exactly one of them through; every later server can only
// refuse. So one acceptance per id holds whatever single server restarts,
// hangs or is lost (the README spells the argument out).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "log.hpp"
#include "trackers.hpp"

namespace tavrel_saml {
namespace {

// memcached reads a time-to-live above 30 days as an absolute unix time, and
// keeps its expiry in a signed 32-bit field.
constexpr double kMaxRelativeTtl = 30 * 24 * 3600;
constexpr double kMaxAbsoluteExpiry = std::numeric_limits<int32_t>::max();
constexpr Py_ssize_t kSha256Bytes = 32;
// 128 bits of SHA-256 per id: ids are chosen by whoever posts the response,
// and nobody finds a second id with the same key; the key stays short.
constexpr Py_ssize_t kDigestBytes = 16;
// Leaves room in memcached's 250 bytes for "_<generation>_<digest>" and a
// key prefix of the client.
constexpr Py_ssize_t kMaxRootKeyLength = 160;

// What a sign-in refused for want of an answer says, before " at <servers>".
constexpr const char *kReadFailure = "Can not read saml responses storage";
constexpr const char *kStoreFailure = "Can not store saml response";

// Runs one request to a server. A failure of the client (server
// unreachable, timed out, protocol error, ...) is kept in `error` and the
// result is null; anything but an Exception passes through.
template <class Fn>
py::object attempt(py::object &error, Fn &&fn) {
  try {
    return fn();
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_Exception)) throw;
    error = e.value();
    return py::object();
  }
}

[[noreturn]] void untrustworthy(py::handle server_name, py::handle answer) {
  raise(PyExc_RuntimeError,
        concat({py::str("Untrustworthy answer from saml responses storage at "),
                server_name, py::str(": "), tavrel_saml::repr(answer)}));
}

// SHA-256 from whatever `hashlib` the interpreter's import gives: its bytes
// are copied by length below, so a replaced module that hands back anything
// but 32 bytes is refused here.
py::bytes sha256(const Module &m, py::handle data) {
  py::object hashlib = owned(PyImport_Import(m[id::hashlib].ptr()));
  py::object digest =
      call_method(call_method(hashlib, m[id::sha256], data), m[id::digest]);
  if (!PyBytes_Check(digest.ptr())) {
    raise(PyExc_RuntimeError,
          concat({py::str("hashlib.sha256().digest() returned "),
                  owned(PyType_GetName(Py_TYPE(digest.ptr()))),
                  py::str(", not 32 bytes")}));
  }
  if (PyBytes_GET_SIZE(digest.ptr()) != kSha256Bytes) {
    raise(PyExc_RuntimeError,
          concat({py::str("hashlib.sha256().digest() returned "),
                  format(py::int_(PyBytes_GET_SIZE(digest.ptr()))),
                  py::str(" bytes, not 32")}));
  }
  return py::reinterpret_borrow<py::bytes>(digest);
}

uint64_t leading_word(const py::bytes &digest) {
  unsigned char bytes[8];
  static_assert(sizeof bytes <= kSha256Bytes);
  std::memcpy(bytes, PyBytes_AS_STRING(digest.ptr()), sizeof bytes);
  uint64_t word = 0;
  for (unsigned char byte : bytes) word = word << 8 | byte;
  return word;
}

// The splitmix64 finaliser: every input bit reaches every output bit, so the
// rendezvous scores of one id on two servers are unrelated.
uint64_t mix(uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

py::object utf8_bytes(py::handle text) {
  return owned(PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass"));
}

py::bytes id_digest(const Module &m, py::handle req_id) {
  py::object data;
  if (PyUnicode_Check(req_id.ptr())) {
    data = utf8_bytes(req_id);
  } else if (PyBytes_Check(req_id.ptr())) {
    data = py::reinterpret_borrow<py::object>(req_id);
  } else {
    raise(PyExc_TypeError,
          concat({py::str("req_id must be str or bytes, not "),
                  owned(PyType_GetName(Py_TYPE(req_id.ptr())))}));
  }
  py::bytes digest = sha256(m, data);
  return py::bytes(PyBytes_AS_STRING(digest.ptr()), kDigestBytes);
}

struct Server {
  py::object name;
  py::object client;
};

// The servers configured at construction, each (name, seed, client).
// Instance attributes can be rebound by anyone: anything else is refused.
std::vector<std::pair<Server, uint64_t>> configured(const Module &m,
                                                    py::handle self) {
  py::object servers = get_attr(self, m[id::servers]);
  if (!PyTuple_Check(servers.ptr()) || PyTuple_GET_SIZE(servers.ptr()) == 0) {
    raise(PyExc_TypeError, "bad _servers");
  }
  std::vector<std::pair<Server, uint64_t>> entries;
  for (py::handle entry : servers) {
    if (!PyTuple_Check(entry.ptr()) || PyTuple_GET_SIZE(entry.ptr()) != 3) {
      raise(PyExc_TypeError, "bad _servers");
    }
    py::tuple server = py::reinterpret_borrow<py::tuple>(entry);
    const uint64_t seed = PyLong_Check(server[1].ptr())
                              ? PyLong_AsUnsignedLongLong(server[1].ptr())
                              : static_cast<uint64_t>(-1);
    if (seed == static_cast<uint64_t>(-1) && PyErr_Occurred()) {
      PyErr_Clear();
      raise(PyExc_TypeError, "bad _servers");
    }
    entries.push_back({{server[0], server[2]}, seed});
  }
  return entries;
}

// How many servers keep each id: checked at construction, read at each call.
size_t replica_count(const Module &m, py::handle self, size_t servers) {
  py::object replicas = get_attr(self, m[id::replicas_attr]);
  const long long count =
      PyLong_Check(replicas.ptr()) ? PyLong_AsLongLong(replicas.ptr()) : -1;
  if (count < 1 || static_cast<unsigned long long>(count) > servers) {
    PyErr_Clear();
    raise(PyExc_TypeError, "bad _replicas");
  }
  return static_cast<size_t>(count);
}

// The servers of an id, best first (rendezvous hashing over the servers
// configured at construction): a server that is down keeps its ids, which
// are never looked for where they were not recorded. With more replicas the
// order only grows: the first server stays the one that `replicas=1` used.
std::vector<Server> servers_of(const Module &m, py::handle self,
                               const py::bytes &digest) {
  auto entries = configured(m, self);
  const size_t count = replica_count(m, self, entries.size());
  const uint64_t id_word = leading_word(digest);
  for (auto &entry : entries) entry.second = mix(entry.second ^ id_word);
  // Stable: of equal scores the first configured server ranks first.
  std::stable_sort(
      entries.begin(), entries.end(),
      [](const auto &a, const auto &b) { return a.second > b.second; });
  std::vector<Server> ranked;
  for (size_t i = 0; i < count; ++i) ranked.push_back(entries[i].first);
  return ranked;
}

// One replica's part in a call: its item key, or the error that leaves it
// out (then the key is null).
struct Replica {
  Server server;
  py::object key;
  py::object error;
  const char *failure = nullptr;
};

// The per-sign-on memory of the servers (inside `lock()` only): a
// generation text for a server that answered, and, where an id has several
// replicas, the timeout of one that did not answer in time, so that a hung
// server costs a sign-on one timeout, not one per request. Any other
// failure (refused, closed, out of memory) costs nothing to meet again, and
// one copy per id keeps every request of a sign-on as it was.
py::object sign_on_memory(const Module &m, py::handle self) {
  return get_attr(self, m[id::generations]);
}

void remember_failure(py::handle memory, bool several, Replica &replica,
                      py::object error, const char *failure) {
  replica.key = py::object();
  replica.error = error;
  replica.failure = failure;
  if (several && !memory.is_none() &&
      PyErr_GivenExceptionMatches(error.ptr(), PyExc_TimeoutError)) {
    set_item(memory, replica.server.name, error);
  }
}

// The generation of the server's ids: `reset` moves it on, and every id
// recorded under an earlier one is forgotten. Inside `lock()` it is read
// once per server; outside, at every call, so that no instance keeps using
// a generation that another process has left.
void find_generation(const Module &m, py::handle memory, bool several,
                     Replica &replica, py::handle key) {
  if (!memory.is_none() && contains(memory, replica.server.name)) {
    py::object known = get_item(memory, replica.server.name);
    if (PyUnicode_Check(known.ptr())) {
      replica.key = known;
    } else if (!PyExceptionInstance_Check(known.ptr())) {
      raise(PyExc_TypeError, "bad _generations");
    } else {
      replica.error = known;  // not asked again: the failure is the caller's
    }
    return;
  }
  py::object error;
  py::object answer = attempt(error, [&] {
    return call_method(replica.server.client, m[id::get], key);
  });
  if (!answer) {
    return remember_failure(memory, several, replica, error, kReadFailure);
  }
  py::object number = py::int_(0);
  if (!answer.is_none()) {
    PyObject *parsed = PyNumber_Long(answer.ptr());
    if (parsed == nullptr || PyLong_AsLongLong(parsed) < 0) {
      Py_XDECREF(parsed);
      PyErr_Clear();
      untrustworthy(replica.server.name, answer);
    }
    number = py::reinterpret_steal<py::object>(parsed);
  }
  replica.key = format(number);
  if (!memory.is_none()) set_item(memory, replica.server.name, replica.key);
}

struct Placed {
  py::bytes digest;
  std::vector<Replica> replicas;
  py::object memory;
  bool several = false;  // more than one replica
};

// Where an id lives: its replicas in rank order, each with the item key
// under that server's generation, or the error that left the server out.
Placed place(const Module &m, py::handle self, py::handle req_id) {
  Placed placed{id_digest(m, req_id), {}, sign_on_memory(m, self)};
  py::object key = get_attr(self, m[id::key]);
  py::object hex = call_method(placed.digest, m[id::hex]);
  std::vector<Server> servers = servers_of(m, self, placed.digest);
  placed.several = servers.size() > 1;
  for (Server &server : servers) {
    Replica replica{server, py::object(), py::object()};
    find_generation(m, placed.memory, placed.several, replica, key);
    if (replica.key) {
      replica.key =
          concat({key, m[id::underscore], replica.key, m[id::underscore], hex});
    }
    placed.replicas.push_back(std::move(replica));
  }
  return placed;
}

py::str names_of(const Module &m, const std::vector<Replica> &replicas,
                 bool missed_only) {
  py::list names;
  for (const Replica &replica : replicas) {
    if (!missed_only || !replica.key) names.append(replica.server.name);
  }
  return owned(PyUnicode_Join(m[id::comma_space].ptr(), names.ptr()));
}

// No replica answered: the sign-in is refused (fails closed), naming every
// server of the id, chained to the last one's error.
[[noreturn]] void unreachable(const Module &m, const Placed &placed,
                              const char *failure) {
  const Replica &last = placed.replicas.back();
  py::object error =
      call(PyExc_RuntimeError,
           concat({py::str(last.failure ? last.failure : failure),
                   py::str(" at "), names_of(m, placed.replicas, false)}));
  raise_exception(error, last.error, last.error);
}

// What memcached is told for an item that must live until `expiration`.
py::int_ time_to_live(const Module &module, py::handle expiration) {
  double expires = PyFloat_AsDouble(expiration.ptr());
  if (expires == -1.0 && PyErr_Occurred()) {
    // Past what a double holds (an int of 400 digits): as far as memcached
    // can keep an item, or long gone.
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
      throw py::error_already_set();
    }
    PyErr_Clear();
    py::int_ zero(0);
    const int positive =
        PyObject_RichCompareBool(expiration.ptr(), zero.ptr(), Py_GT);
    if (positive < 0) throw py::error_already_set();
    expires = positive ? HUGE_VAL : -HUGE_VAL;
  }
  if (std::isnan(expires)) {
    raise(PyExc_ValueError, py::str("expiration is not a unix time"));
  }
  const double now = PyFloat_AsDouble(
      call_method(module.global(id::time), module[id::time]).ptr());
  if (now == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  const double remaining = std::ceil(expires - now);
  if (remaining <= kMaxRelativeTtl) {
    // Never 0: memcached keeps such an item for ever.
    return py::int_(static_cast<long long>(std::max(remaining, 1.0)));
  }
  return py::int_(
      static_cast<long long>(std::min(std::ceil(expires), kMaxAbsoluteExpiry)));
}

// -- Construction -----------------------------------------------------------

// Settings under which a client's answers say nothing about what memcached
// stored; refused at once rather than at the first replay.
void refuse_untrustworthy(const Module &m, py::handle client) {
  if (truthy(get_attr_or_none(client, m[id::default_noreply]))) {
    raise(PyExc_ValueError,
          "memcache_client: default_noreply=True makes add answer true "
          "without waiting for memcached; build the client with "
          "default_noreply=False");
  }
  if (truthy(get_attr_or_none(client, m[id::ignore_exc]))) {
    raise(PyExc_ValueError,
          "memcache_client: ignore_exc=True turns memcached errors into "
          "empty answers; build the client with ignore_exc=False");
  }
}

py::tuple server_entry(const Module &m, py::str name, py::handle client) {
  refuse_untrustworthy(m, client);
  return py::make_tuple(
      name, py::int_(leading_word(sha256(m, utf8_bytes(name)))), client);
}

py::str server_name(const Module &m, py::handle client) {
  py::object server = get_attr_or_none(client, m[id::server]);
  if (PyTuple_Check(server.ptr()) && PyTuple_GET_SIZE(server.ptr()) == 2) {
    py::tuple address = server;
    return concat({format(address[0]), m[id::colon], format(address[1])});
  }
  return server.is_none() ? py::str(m[id::memcache]) : format(server);
}

// A HashClient's servers as it was configured, each called through its own
// client: the HashClient itself re-routes the keys of a server it found dead.
py::tuple configured_servers(const Module &m, py::handle client) {
  refuse_untrustworthy(m, client);
  py::list entries;
  py::object cluster = get_attr_or_none(client, m[id::clients]);
  if (!PyDict_Check(cluster.ptr())) {
    entries.append(server_entry(m, server_name(m, client), client));
    return py::tuple(entries);
  }
  for_each_item(m, cluster, [&](py::handle name, py::handle server) {
    entries.append(server_entry(m, format(name), server));
  });
  if (entries.empty()) {
    raise(PyExc_ValueError, "memcache_client: the HashClient has no servers");
  }
  return py::tuple(entries);
}

void check_root_key(const py::str &key) {
  const Py_ssize_t length = PyUnicode_GET_LENGTH(key.ptr());
  bool valid = length <= kMaxRootKeyLength;
  for (Py_ssize_t i = 0; valid && i < length; ++i) {
    const Py_UCS4 c = PyUnicode_READ_CHAR(key.ptr(), i);
    valid = c > 0x20 && c < 0x7f;
  }
  if (!valid) {
    raise(PyExc_ValueError,
          "memcache_root_key: the memcache key needs at most 160 printable "
          "ASCII characters and no spaces");
  }
}

void check_replicas(py::handle replicas, Py_ssize_t servers) {
  if (PyLong_Check(replicas.ptr()) && !PyBool_Check(replicas.ptr())) {
    int overflow = 0;
    const long long count =
        PyLong_AsLongLongAndOverflow(replicas.ptr(), &overflow);
    if (overflow == 0 && count >= 1 && count <= servers) return;
  }
  const bool number =
      PyLong_Check(replicas.ptr()) && !PyBool_Check(replicas.ptr());
  raise(PyExc_ValueError,
        concat({py::str("replicas: a whole number from 1 to "),
                format(py::int_(servers)),
                py::str(" (the servers the client has) is needed, not "),
                number ? format(replicas)
                       : py::str(
                             owned(PyType_GetName(Py_TYPE(replicas.ptr()))))}));
}

py::object per_id_init(const Module &, const Args &);

constexpr Method kPerIdInit{"__init__",
                            Kind::Instance,
                            {{{"self"},
                              {"memcache_client"},
                              {"memcache_root_key"},
                              {"replicas", default_int(1)}}},
                            nullptr,
                            per_id_init};

py::object per_id_init(const Module &m, const Args &args) {
  py::handle self = args[kPerIdInit["self"]];
  py::handle client = args[kPerIdInit["memcache_client"]];
  py::handle replicas = args[kPerIdInit["replicas"]];
  py::tuple servers = configured_servers(m, client);
  check_replicas(replicas, PyTuple_GET_SIZE(servers.ptr()));
  py::str key =
      concat({format(args[kPerIdInit["memcache_root_key"]]), m[id::underscore],
              format(get_attr(self, m[id::KEY_SUFFIX]))});
  check_root_key(key);
  set_attr(self, m[id::mc], client);
  set_attr(self, m[id::key], key);
  set_attr(self, m[id::servers], servers);
  set_attr(self, m[id::replicas_attr], replicas);
  set_attr(self, m[id::generations], py::none());
  return py::none();
}

// -- The contract -------------------------------------------------------------

// The claim in `add` is atomic by itself; the lock only lets what one
// sign-on learnt of each server (its generation, or that it does not
// answer) serve all of its calls.
void begin_sign_on(const Module &m, const py::object &self) {
  set_attr(self, m[id::generations], py::dict());
}
void end_sign_on(const Module &m, const py::object &self) {
  set_attr(self, m[id::generations], py::none());
}

py::object per_id_lock(const Module &, const Args &);

constexpr Method kPerIdLock{
    "lock", Kind::ContextManager, {{{"self"}}}, nullptr, per_id_lock};

py::object per_id_lock(const Module &m, const Args &args) {
  return tracker_lock(m, kMemcachePerIdTracker, args[kPerIdLock["self"]]);
}

// Seen when any replica that answers holds the id: a server that restarted
// empty must not hide the copy that another one kept.
py::object per_id_is_seen(const Module &, const Args &);

constexpr Method kPerIdIsSeen{"is_seen",
                              Kind::Instance,
                              {{{"self"}, {"req_id"}}},
                              nullptr,
                              per_id_is_seen};

py::object per_id_is_seen(const Module &m, const Args &args) {
  Placed placed =
      place(m, args[kPerIdIsSeen["self"]], args[kPerIdIsSeen["req_id"]]);
  bool answered = false;
  for (Replica &replica : placed.replicas) {
    if (!replica.key) continue;
    py::object error;
    py::object answer = attempt(error, [&] {
      return call_method(replica.server.client, m[id::get], replica.key);
    });
    if (!answer) {
      remember_failure(placed.memory, placed.several, replica, error,
                       kReadFailure);
      continue;
    }
    if (!answer.is_none()) return py::bool_(true);
    answered = true;
  }
  if (!answered) unreachable(m, placed, kReadFailure);
  return py::bool_(false);
}

// The check-and-record itself. The replicas are claimed one after the
// other, best first, and the first that already holds the id ends it as a
// replay. Of two posts of one id, the first replica in that order that
// answers both lets one of them through; the other stops there, and every
// server after it sees only the winner's claim. A post is accepted only
// when no replica that answered held the id: so at most one acceptance as
// long as one replica answers every post, and at least one as long as the
// replicas keep what they store.
py::object per_id_add(const Module &, const Args &);

constexpr Method kPerIdAdd{"add",
                           Kind::Instance,
                           {{{"self"}, {"req_id"}, {"expiration"}}},
                           "expiration: unix time",
                           per_id_add};

py::object per_id_add(const Module &module, const Args &args) {
  py::handle req_id = args[kPerIdAdd["req_id"]];
  py::int_ ttl = time_to_live(module, args[kPerIdAdd["expiration"]]);
  Placed placed = place(module, args[kPerIdAdd["self"]], req_id);
  size_t stored = 0;
  for (Replica &replica : placed.replicas) {
    if (!replica.key) continue;
    py::object error;
    py::object answer = attempt(error, [&] {
      return call_method_kw(module, replica.server.client, module[id::add],
                            replica.key, py::bytes("1"), ttl,
                            kw<id::noreply>(Py_False));
    });
    if (!answer) {
      remember_failure(placed.memory, placed.several, replica, error,
                       kStoreFailure);
    } else if (answer.ptr() == Py_True) {
      ++stored;
    } else if (answer.ptr() == Py_False) {
      call_method(module.global(id::logging), module[id::warning],
                  concat({module[id::detected_duplicate], format(req_id)}));
      raise(PyExc_ValueError, "Duplicated SAML response");
    } else {
      untrustworthy(replica.server.name, answer);
    }
  }
  if (stored == 0) unreachable(module, placed, kStoreFailure);
  if (stored < placed.replicas.size()) {
    py::object hex = call_method(placed.digest, module[id::hex]);
    py::str copies = format(py::int_(stored));
    py::str wanted = format(py::int_(placed.replicas.size()));
    py::str missed = names_of(module, placed.replicas, true);
    log_text(module, id::warning,
             {module[id::replay_record], hex, module[id::stored_on], copies,
              module[id::of], wanted, module[id::servers_missed_by], missed});
  }
  return py::none();
}

py::object per_id_cleanup_expired(const Module &, const Args &);

constexpr Method kPerIdCleanup{"cleanup_expired",
                               Kind::Instance,
                               {{{"self"}}},
                               "memcached drops each id when it expires",
                               per_id_cleanup_expired};

py::object per_id_cleanup_expired(const Module &, const Args &) {
  return py::none();
}

// Moves every server to a new generation; memcached drops the old items as
// they expire or as memory is needed.
py::object per_id_reset(const Module &, const Args &);

constexpr Method kPerIdReset{"reset",
                             Kind::Instance,
                             {{{"self"}}},
                             "Forget every id, for every process",
                             per_id_reset};

py::object per_id_reset(const Module &m, const Args &args) {
  py::handle self = args[kPerIdReset["self"]];
  py::object key = get_attr(self, m[id::key]);
  for (auto &entry : configured(m, self)) {
    // Named, not a structured binding: lambdas capture it in every
    // compiler the fuzz build uses.
    auto &server = entry.first;
    auto ask = [&](auto &&request) {
      py::object error;
      py::object answer = attempt(error, request);
      if (!answer) {
        raise_exception(
            call(PyExc_RuntimeError,
                 concat({py::str("Can not reset saml responses storage at "),
                         server.name})),
            error, error);
      }
      return answer;
    };
    auto incr = [&] {
      return call_method_kw(m, server.client, m[id::incr], key, py::int_(1),
                            kw<id::noreply>(Py_False));
    };
    py::object moved = ask(incr);
    if (moved.is_none() && !truthy(ask([&] {
          return call_method_kw(m, server.client, m[id::add], key,
                                py::bytes("1"), py::int_(0),
                                kw<id::noreply>(Py_False));
        }))) {
      moved = ask(incr);  // another process created it meanwhile
      if (moved.is_none()) untrustworthy(server.name, moved);
    }
  }
  if (!get_attr(self, m[id::generations]).is_none()) {
    set_attr(self, m[id::generations], py::dict());
  }
  return py::none();
}

py::object make_per_id_tracker_class(const Module &m) {
  return make_class(
      m, "SamlDuplicateResponsesTrackerInMemcachePerId",
      "Store each seen saml response in its own memcache item, until it "
      "expires.",
      {
          {"KEY_SUFFIX", py::str("saml_responses_per_id")},
          method<kPerIdInit>(m),
          method<kPerIdLock>(m),
          method<kPerIdIsSeen>(m),
          method<kPerIdAdd>(m),
          method<kPerIdCleanup>(m),
          method<kPerIdReset>(m),
      });
}

}  // namespace

extern const TrackerRow kMemcachePerIdTracker{
    Tracker::MemcachePerId,
    id::SamlDuplicateResponsesTrackerInMemcachePerId,
    make_per_id_tracker_class,
    tracker_itself,
    begin_sign_on,
    end_sign_on};

}  // namespace tavrel_saml
