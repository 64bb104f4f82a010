// Replay protection at any scale: one memcache item per accepted id, claimed
// with memcached's insert-if-absent. No lock item and no shared record, so a
// sign-on costs the same whatever the number of live ids, and the ids spread
// over every server of a cluster.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "trackers.hpp"

namespace tavrel_saml {
namespace {

// memcached reads a time-to-live above 30 days as an absolute unix time, and
// keeps its expiry in a signed 32-bit field.
constexpr double kMaxRelativeTtl = 30 * 24 * 3600;
constexpr double kMaxAbsoluteExpiry = std::numeric_limits<int32_t>::max();
// 128 bits of SHA-256 per id: ids are chosen by whoever posts the response,
// and nobody finds a second id with the same key; the key stays short.
constexpr Py_ssize_t kDigestBytes = 16;
// Leaves room in memcached's 250 bytes for "_<generation>_<digest>" and a
// key prefix of the client.
constexpr Py_ssize_t kMaxRootKeyLength = 160;

// A failure of the client (server unreachable, protocol error, ...) refuses
// the sign-in with a RuntimeError that names the server, chained to it.
template <class Fn>
py::object ask(const char *failure, py::handle server_name, Fn &&fn) {
  try {
    return fn();
  } catch (py::error_already_set &e) {
    if (!e.matches(PyExc_Exception)) throw;
    py::object error =
        call(PyExc_RuntimeError,
             concat({py::str(failure), py::str(" at "), server_name}));
    raise_exception(error, e.value(), e.value());
  }
}

[[noreturn]] void untrustworthy(py::handle server_name, py::handle answer) {
  raise(PyExc_RuntimeError,
        concat({py::str("Untrustworthy answer from saml responses storage at "),
                server_name, py::str(": "), py::repr(answer)}));
}

py::bytes sha256(const Module &m, py::handle data) {
  py::object hashlib = owned(PyImport_Import(m[id::hashlib].ptr()));
  return call_method(call_method(hashlib, m[id::sha256], data), m[id::digest]);
}

uint64_t leading_word(const py::bytes &digest) {
  unsigned char bytes[8];
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

py::bytes id_digest(const Module &m, py::handle req_id) {
  py::object data;
  if (PyUnicode_Check(req_id.ptr())) {
    data = py::reinterpret_steal<py::object>(
        PyUnicode_AsEncodedString(req_id.ptr(), "utf-8", "surrogatepass"));
    if (!data) throw py::error_already_set();
  } else if (PyBytes_Check(req_id.ptr())) {
    data = py::reinterpret_borrow<py::object>(req_id);
  } else {
    raise(PyExc_TypeError,
          concat({py::str("req_id must be str or bytes, not "),
                  py::str(py::type::handle_of(req_id).attr("__name__"))}));
  }
  py::bytes digest = sha256(m, data);
  return py::bytes(PyBytes_AS_STRING(digest.ptr()), kDigestBytes);
}

struct Server {
  py::object name;
  py::object client;
};

// The server of an id among the servers configured at construction
// (rendezvous hashing): a server that is down keeps its ids, and their
// sign-ins fail, instead of sending them where they were never recorded.
Server server_of(const Module &m, py::handle self, const py::bytes &digest) {
  py::object servers = get_attr(self, m[id::servers]);
  if (!PyTuple_Check(servers.ptr())) {
    raise(PyExc_TypeError, "bad _servers");
  }
  const uint64_t id_word = leading_word(digest);
  Server best;
  uint64_t best_score = 0;
  for (py::handle entry : servers) {
    py::tuple server = py::reinterpret_borrow<py::object>(entry);
    if (server.size() != 3) raise(PyExc_TypeError, py::str("bad _servers"));
    const uint64_t score = mix(server[1].cast<uint64_t>() ^ id_word);
    if (!best.client || score > best_score) {
      best = {server[0], server[2]};
      best_score = score;
    }
  }
  if (!best.client) raise(PyExc_TypeError, py::str("bad _servers"));
  return best;
}

// The generation of the server's ids: `reset` moves it on, and every id
// recorded under an earlier one is forgotten. Inside `lock()` it is read
// once per server; outside, at every call, so that no instance keeps using
// a generation that another process has left.
py::str generation(const Module &m, py::handle self, const Server &server) {
  py::object cached = get_attr(self, m[id::generations]);
  if (!cached.is_none() && contains(cached, server.name)) {
    return get_item(cached, server.name);
  }
  py::object key = get_attr(self, m[id::key]);
  py::object answer =
      ask("Can not read saml responses storage", server.name,
          [&] { return call_method(server.client, m[id::get], key); });
  py::object number = py::int_(0);
  if (!answer.is_none()) {
    PyObject *parsed = PyNumber_Long(answer.ptr());
    if (parsed == nullptr || PyLong_AsLongLong(parsed) < 0) {
      Py_XDECREF(parsed);
      PyErr_Clear();
      untrustworthy(server.name, answer);
    }
    number = py::reinterpret_steal<py::object>(parsed);
  }
  py::str text = format(number);
  if (!cached.is_none()) set_item(cached, server.name, text);
  return text;
}

struct Placed {
  Server server;
  py::str key;
};

Placed place(const Module &m, py::handle self, py::handle req_id) {
  py::bytes digest = id_digest(m, req_id);
  Server server = server_of(m, self, digest);
  py::str key = concat({get_attr(self, m[id::key]), m[id::underscore],
                        generation(m, self, server), m[id::underscore],
                        call_method(digest, m[id::hex])});
  return {server, key};
}

// What memcached is told for an item that must live until `expiration`.
py::int_ time_to_live(const Module &module, py::handle expiration) {
  const double expires = PyFloat_AsDouble(expiration.ptr());
  if (expires == -1.0 && PyErr_Occurred()) throw py::error_already_set();
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
void refuse_untrustworthy(py::handle client) {
  if (truthy(py::getattr(client, "default_noreply", py::none()))) {
    raise(PyExc_ValueError,
          py::str("memcache_client: default_noreply=True makes add answer "
                  "true without waiting for memcached; build the client with "
                  "default_noreply=False"));
  }
  if (truthy(py::getattr(client, "ignore_exc", py::none()))) {
    raise(PyExc_ValueError,
          py::str("memcache_client: ignore_exc=True turns memcached errors "
                  "into empty answers; build the client with "
                  "ignore_exc=False"));
  }
}

py::tuple server_entry(const Module &m, py::str name, py::handle client) {
  refuse_untrustworthy(client);
  py::object encoded = name.attr("encode")("utf-8", "surrogatepass");
  return py::make_tuple(name, py::int_(leading_word(sha256(m, encoded))),
                        client);
}

py::str server_name(py::handle client) {
  py::object server = py::getattr(client, "server", py::none());
  if (PyTuple_Check(server.ptr()) && PyTuple_GET_SIZE(server.ptr()) == 2) {
    py::tuple address = server;
    return concat({format(address[0]), py::str(":"), format(address[1])});
  }
  return server.is_none() ? py::str("memcache") : format(server);
}

// A HashClient's servers as it was configured, each called through its own
// client: the HashClient itself re-routes the keys of a server it found dead.
py::tuple configured_servers(const Module &m, py::handle client) {
  refuse_untrustworthy(client);
  py::list entries;
  py::object cluster = py::getattr(client, "clients", py::none());
  if (!PyDict_Check(cluster.ptr())) {
    entries.append(server_entry(m, server_name(client), client));
    return py::tuple(entries);
  }
  for_each_item(m, cluster, [&](py::handle name, py::handle server) {
    entries.append(server_entry(m, format(name), server));
  });
  if (entries.empty()) {
    raise(PyExc_ValueError,
          py::str("memcache_client: the HashClient has no servers"));
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
          py::str("memcache_root_key: the memcache key needs at most 160 "
                  "printable ASCII characters and no spaces"));
  }
}

py::object per_id_init(const Module &, const Args &);

constexpr Method kPerIdInit{
    "__init__",
    Kind::Instance,
    {{{"self"}, {"memcache_client"}, {"memcache_root_key"}}},
    nullptr,
    per_id_init};

py::object per_id_init(const Module &m, const Args &args) {
  py::handle self = args[kPerIdInit["self"]];
  py::tuple servers =
      configured_servers(m, args[kPerIdInit["memcache_client"]]);
  py::str key =
      concat({format(args[kPerIdInit["memcache_root_key"]]), m[id::underscore],
              format(get_attr(self, m[id::KEY_SUFFIX]))});
  check_root_key(key);
  set_attr(self, m[id::mc], args[kPerIdInit["memcache_client"]]);
  set_attr(self, m[id::key], key);
  set_attr(self, m[id::servers], servers);
  set_attr(self, m[id::generations], py::none());
  return py::none();
}

// -- The contract -------------------------------------------------------------

// The claim in `add` is atomic by itself; the lock only lets the
// generations read during one sign-on serve all of its calls.
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

py::object per_id_is_seen(const Module &, const Args &);

constexpr Method kPerIdIsSeen{"is_seen",
                              Kind::Instance,
                              {{{"self"}, {"req_id"}}},
                              nullptr,
                              per_id_is_seen};

py::object per_id_is_seen(const Module &m, const Args &args) {
  Placed placed =
      place(m, args[kPerIdIsSeen["self"]], args[kPerIdIsSeen["req_id"]]);
  py::object answer =
      ask("Can not read saml responses storage", placed.server.name, [&] {
        return call_method(placed.server.client, m[id::get], placed.key);
      });
  return py::bool_(!answer.is_none());
}

// The check-and-record itself: of two posts of one response on any workers,
// memcached lets exactly one add the item.
py::object per_id_add(const Module &, const Args &);

constexpr Method kPerIdAdd{"add",
                           Kind::Instance,
                           {{{"self"}, {"req_id"}, {"expiration"}}},
                           "expiration: unix time",
                           per_id_add};

py::object per_id_add(const Module &module, const Args &args) {
  py::int_ ttl = time_to_live(module, args[kPerIdAdd["expiration"]]);
  Placed placed =
      place(module, args[kPerIdAdd["self"]], args[kPerIdAdd["req_id"]]);
  py::object stored =
      ask("Can not store saml response", placed.server.name, [&] {
        return call_method_kw(module, placed.server.client, module[id::add],
                              placed.key, py::bytes("1"), ttl,
                              kw<id::noreply>(Py_False));
      });
  if (stored.ptr() == Py_True) return py::none();
  if (stored.ptr() != Py_False) untrustworthy(placed.server.name, stored);
  call_method(module.global(id::logging), module[id::warning],
              concat({module[id::detected_duplicate],
                      format(args[kPerIdAdd["req_id"]])}));
  raise(PyExc_ValueError, "Duplicated SAML response");
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
  for (py::handle entry : py::tuple(get_attr(self, m[id::servers]))) {
    py::tuple server = py::reinterpret_borrow<py::object>(entry);
    py::object name = server[0], client = server[2];
    auto call = [&](const char *method, auto... values) {
      return ask("Can not reset saml responses storage", name, [&] {
        return client.attr(method)(key, values..., py::arg("noreply") = false);
      });
    };
    py::object moved = call("incr", 1);
    if (moved.is_none() && !truthy(call("add", py::bytes("1"), 0))) {
      moved = call("incr", 1);  // another process created it meanwhile
      if (moved.is_none()) untrustworthy(name, moved);
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

py::object tracker_itself(const Module &, py::handle tracker) {
  return py::reinterpret_borrow<py::object>(tracker);
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
