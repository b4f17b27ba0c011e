// korvex.list.count: elemcount(ls).
//
// The general walk decides distinctness by list containment, then calls
// `ls.count` for each distinct element: n * k work for n elements of which
// k are distinct. Where no element's equality or hash runs Python code (the
// admission rule, below), one hashed pass gives the very same dict: a dict
// look-up, like list containment, tries identity before equality, so the
// first of equal elements stays the key, and the `count` of the sequences
// below finds exactly the elements equal to it.
//
// Which inputs take which path:
//  - exact str, bytes and bytearray: their codes tallied, one slot per
//    byte (a counter of code points for a wider str);
//  - exact list and tuple, by position; exact deque, range and array.array,
//    and list or tuple subclasses that change nothing of their base, by
//    their iterator: the hashed pass, while its elements are admitted;
//  - anything else, and the rest of a sequence from its first element that
//    is not admitted: the general walk, which goes on with the distinct
//    elements the hashed pass found (no Python code ran for them, so
//    containment would have found the same).
//
// A sequence changed while it is walked (by code run at a signal check:
// a handler, a finalizer, another thread) is counted as the general walk
// counts it: the keys are the elements as the walk met them, the counts
// what `ls.count` gives after the walk. Only a pass during which code ran
// counts again; see `recount`.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "frame.hpp"

namespace {

using frame::call;
using frame::ref;
using frame::string;

enum : frame::string_index {
    s_count,
    s_elemcount,
    s_l,
    s_ls,
    s_v,
    s_vis,
    string_count,
};

// clang-format off
constexpr frame::string_row strings[] = {
    {s_count, "count", true},
    {s_elemcount, "elemcount", true},
    {s_l, "l", true},
    {s_ls, "ls", true},
    {s_v, "v", true},
    {s_vis, "vis", true},
};
// clang-format on
static_assert(std::size(strings) == string_count);

// The lines of the module's statements, as its traceback entries report them.
namespace line {
constexpr int def_elemcount = 1;  // def elemcount(ls):
constexpr int vis = 2;            //     vis = []
constexpr int walk = 3;           //     for l in ls:
constexpr int contains = 4;       //         if l not in vis:
constexpr int append = 5;         //             vis.append(l)
constexpr int count = 6;          //     return {v: ls.count(v) for v in vis}
}  // namespace line

// The statement a helper is in: the line of the traceback entry when it
// returns NULL.
struct statement {
    int line = line::walk;
};

// --- admission ----------------------------------------------------------------

// An element is admitted to the hashed pass when its equality and hash, with
// any other admitted element, run no Python code, cannot raise, and agree
// (equal elements hash alike), as CPython 3.13 compares and hashes:
//  - exact int, bool, float, complex, str, bytes and None: exact numeric or
//    character comparisons in C; equal numbers hash alike across int, float
//    and complex; a NaN (a complex one too) hashes by its identity and
//    equals only itself, which is how containment finds it;
//  - exact tuple and frozenset whose items are admitted, nested to
//    `max_depth`: a tuple compares item by item, identity first, and hashes
//    from its items; a frozenset compares its cached hash, its size and its
//    members by their stored hashes, and hashes from those;
//  - instances of a type that keeps object's own equality and hash (plain
//    class instances, functions, modules), and classes whose metaclass
//    keeps type's: identity in both.
// Under -b comparing bytes with str or int warns (fails under -bb); the
// hashed pass compares only elements of equal hash and would skip warnings
// that containment gives. So once bytes and str or int have both been met,
// at any depth, the element that brings them together is not admitted.
constexpr int max_depth = 8;

class admission {
  public:
    bool admit(PyObject *item)
    {
        if (!admit(item, 0)) {
            return false;
        }
        return !(bytes_ && warns_beside_bytes_ && bytes_warnings());
    }

  private:
    bool admit(PyObject *item, int depth)
    {
        PyTypeObject *type = Py_TYPE(item);
        if (type == &PyLong_Type || type == &PyUnicode_Type ||
            type == &PyBool_Type) {
            warns_beside_bytes_ = true;
            return true;
        }
        if (type == &PyBytes_Type) {
            bytes_ = true;
            return true;
        }
        if (type == &PyFloat_Type || type == &PyComplex_Type ||
            item == Py_None) {
            return true;
        }
        if (type == &PyTuple_Type) {
            if (depth == max_depth) {
                return false;
            }
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(item); i++) {
                if (!admit(PyTuple_GET_ITEM(item, i), depth + 1)) {
                    return false;
                }
            }
            return true;
        }
        if (type == &PyFrozenSet_Type) {
            if (depth == max_depth) {
                return false;
            }
            // The members in place: unused slots hold NULL, deleted ones
            // the hash -1, which no member has.
            auto *set = reinterpret_cast<PySetObject *>(item);
            for (Py_ssize_t i = 0; i <= set->mask; i++) {
                const setentry &entry = set->table[i];
                if (entry.key != nullptr && entry.hash != -1 &&
                    !admit(entry.key, depth + 1)) {
                    return false;
                }
            }
            return true;
        }
        return type->tp_hash == PyBaseObject_Type.tp_hash &&
               (type->tp_richcompare == PyBaseObject_Type.tp_richcompare ||
                type->tp_richcompare == PyType_Type.tp_richcompare);
    }

    // Whether -b is in force; read once, when it matters.
    bool bytes_warnings()
    {
        if (bytes_warning_ < 0) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
            bytes_warning_ = Py_BytesWarningFlag;
#pragma GCC diagnostic pop
        }
        return bytes_warning_ > 0;
    }

    bool bytes_ = false;
    bool warns_beside_bytes_ = false;
    int bytes_warning_ = -1;
};

// --- the counter ------------------------------------------------------------

// Counts keys in order of first occurrence: entries in insertion order,
// and an open-addressing index over them, at most half full, holding
// position + 1 (0 is an empty slot, so a calloc'ed index is empty and
// untouched pages cost nothing).
template <typename Key>
class first_occurrence_counter {
  public:
    struct entry {
        Key key;
        Py_hash_t hash;
        Py_ssize_t count;
    };

    first_occurrence_counter() = default;
    first_occurrence_counter(const first_occurrence_counter &) = delete;
    first_occurrence_counter &operator=(const first_occurrence_counter &) =
        delete;
    ~first_occurrence_counter() { clear(); }

    void clear()
    {
        if constexpr (std::is_same_v<Key, PyObject *>) {
            for (Py_ssize_t i = handed_over_; i < size_; i++) {
                Py_DECREF(entries_[i].key);
            }
        }
        PyMem_Free(entries_);
        PyMem_Free(slots_);
        entries_ = nullptr;
        size_ = handed_over_ = capacity_ = slot_count_ = 0;
        slots_ = nullptr;
    }

    // Room for `count` distinct keys without growing. Returns 0, or -1
    // with MemoryError set.
    int reserve(Py_ssize_t count)
    {
        return reserve_entries(count) < 0 || grow(count) < 0 ? -1 : 0;
    }

    Py_ssize_t size() const { return size_; }
    const entry &operator[](Py_ssize_t i) const { return entries_[i]; }

    // Frees the index; the entries stay, and `add` makes a new index.
    void drop_index()
    {
        PyMem_Free(slots_);
        slots_ = nullptr;
        slot_count_ = 0;
    }

    // The reference to key `i`, handed over in order: the counter no
    // longer owns it.
    PyObject *hand_over(Py_ssize_t i)
        requires std::is_same_v<Key, PyObject *>
    {
        handed_over_ = i + 1;
        return entries_[i].key;
    }

    // Counts `by` more of `key`, a new key unless `insert` is false.
    // `equal(a, b)` returns 1, 0 or -1 on error. Returns 0, or -1 with an
    // exception set.
    template <typename Equal>
    int add(Key key, Py_hash_t hash, Equal equal, Py_ssize_t by = 1,
            bool insert = true)
    {
        if (size_ * 2 >= slot_count_ && grow(size_ + 1) < 0) {
            return -1;
        }
        std::size_t mask = static_cast<std::size_t>(slot_count_) - 1;
        std::size_t perturb = static_cast<std::size_t>(hash);
        std::size_t i = perturb & mask;
        while (slots_[i] != 0) {
            entry &e = entries_[slots_[i] - 1];
            if (e.hash == hash) {
                int same = equal(e.key, key);
                if (same != 0) {
                    e.count += by;
                    return same < 0 ? -1 : 0;
                }
            }
            perturb >>= 5;
            i = (i * 5 + perturb + 1) & mask;
        }
        if (!insert) {
            return 0;
        }
        if (size_ == capacity_ && reserve_entries(capacity_ * 2) < 0) {
            return -1;
        }
        if constexpr (std::is_same_v<Key, PyObject *>) {
            Py_INCREF(key);
        }
        entries_[size_] = entry{.key = key, .hash = hash, .count = by};
        slots_[i] = static_cast<std::uint32_t>(++size_);
        return 0;
    }

  private:
    int reserve_entries(Py_ssize_t capacity)
    {
        if (capacity < 8) {
            capacity = 8;
        }
        if (capacity <= capacity_) {
            return 0;
        }
        auto *grown = PyMem_Resize(entries_, entry, capacity);
        if (grown == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
        entries_ = grown;
        capacity_ = capacity;
        return 0;
    }

    // An index for at least `count` keys, rebuilt from the entries.
    int grow(Py_ssize_t count)
    {
        Py_ssize_t slot_count = 16;
        while (slot_count < count * 2) {
            slot_count *= 2;
        }
        if (slot_count <= slot_count_) {
            return 0;
        }
        // The index holds 32-bit positions.
        if (slot_count > Py_ssize_t{1} << 32) {
            PyErr_NoMemory();
            return -1;
        }
        auto *slots = static_cast<std::uint32_t *>(PyMem_Calloc(
            static_cast<std::size_t>(slot_count), sizeof(std::uint32_t)));
        if (slots == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
        std::size_t mask = static_cast<std::size_t>(slot_count) - 1;
        for (Py_ssize_t index = 0; index < size_; index++) {
            std::size_t perturb =
                static_cast<std::size_t>(entries_[index].hash);
            std::size_t i = perturb & mask;
            while (slots[i] != 0) {
                perturb >>= 5;
                i = (i * 5 + perturb + 1) & mask;
            }
            slots[i] = static_cast<std::uint32_t>(index + 1);
        }
        PyMem_Free(slots_);
        slots_ = slots;
        slot_count_ = slot_count;
        return 0;
    }

    entry *entries_ = nullptr;
    Py_ssize_t size_ = 0;
    Py_ssize_t handed_over_ = 0;
    Py_ssize_t capacity_ = 0;
    std::uint32_t *slots_ = nullptr;
    Py_ssize_t slot_count_ = 0;
};

using element_counter = first_occurrence_counter<PyObject *>;

int equal_elements(PyObject *a, PyObject *b)
{
    return PyObject_RichCompareBool(a, b, Py_EQ);
}

// {key(i): count(i)} for i from 0 to n - 1, in that order, in a dict sized
// for its n keys. `key` returns a new reference.
template <typename Key, typename Count>
PyObject *dict_of_counts(Py_ssize_t n, Key key, Count count)
{
    ref counts = ref::steal(_PyDict_NewPresized(n));
    if (!counts) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < n; i++) {
        ref k = ref::steal(key(i));
        ref v = ref::steal(PyLong_FromSsize_t(count(i)));
        if (!k || !v || PyDict_SetItem(counts.get(), k.get(), v.get()) < 0) {
            return nullptr;
        }
    }
    return counts.release();
}

// How many elements ahead a positional walk asks for an element's memory:
// hashing one reads its header and the value its hash comes from (an int's
// digits, a str's cached hash), which can lie on the next cache line. It
// earns its lines on the rows of large lists of ints and strs.
constexpr Py_ssize_t prefetch_distance = 8;

void prefetch_element(PyObject *element)
{
    constexpr std::size_t hashed_value_offset = 24;
    auto *at = reinterpret_cast<const char *>(element);
    __builtin_prefetch(at, 1);
    __builtin_prefetch(at + hashed_value_offset);
}

// A NaN read from an array is a new object each time: `count` never finds
// it, as no NaN equals another object.
bool found_by_no_count(PyObject *key, bool fresh)
{
    return fresh && PyFloat_CheckExact(key) &&
           std::isnan(PyFloat_AS_DOUBLE(key));
}

// {key: count} from the counter, whose references to the keys pass to the
// dict: the counter is done with.
PyObject *dict_of_elements(element_counter &counter, bool fresh)
{
    return dict_of_counts(
        counter.size(),
        [&](Py_ssize_t i) {
            if (i + prefetch_distance < counter.size()) {
                prefetch_element(counter[i + prefetch_distance].key);
            }
            return counter.hand_over(i);
        },
        [&](Py_ssize_t i) {
            return found_by_no_count(counter[i].key, fresh) ? 0
                                                            : counter[i].count;
        });
}

// --- walking ------------------------------------------------------------------

// The elements of `ls` as a `for` loop gets them: an exact list or tuple by
// position, its length read again before every step, which yields what
// its iterator would; anything else through its iterator.
class elements {
  public:
    // 0, or -1 with the error of `iter()`.
    int start(PyObject *ls)
    {
        index_ = 0;
        if (PyList_CheckExact(ls) || PyTuple_CheckExact(ls)) {
            sequence_ = ls;
            return 0;
        }
        iterator_ = ref::steal(PyObject_GetIter(ls));
        return iterator_ ? 0 : -1;
    }
    // The next element into `item`: 1, 0 at the end (StopIteration
    // included), or -1 with the iterator's error.
    int next(ref &item)
    {
        if (sequence_ == nullptr) {
            return frame::next_item(iterator_.get(), item);
        }
        Py_ssize_t size = PySequence_Fast_GET_SIZE(sequence_);
        if (index_ >= size) {
            return 0;
        }
        PyObject **items = PySequence_Fast_ITEMS(sequence_);
        if (index_ + prefetch_distance < size) {
            prefetch_element(items[index_ + prefetch_distance]);
        }
        item = ref::new_ref(items[index_++]);
        return 1;
    }

  private:
    PyObject *sequence_ = nullptr;  // the body owns `ls`
    ref iterator_;
    Py_ssize_t index_ = 0;
};

// {v: ls.count(v) for v in vis}. `walked` weighs each call's scan of `ls`
// in the signal checks.
PyObject *count_each(PyObject *ls, PyObject *vis, Py_ssize_t walked,
                     frame::signal_check &signals, statement &at)
{
    at.line = line::count;
    ref counts = ref::steal(PyDict_New());
    if (!counts) {
        return nullptr;
    }
    // `vis` is private, but user code can reach it (through the collector's
    // referrers): each element is owned while `count` runs.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(vis); i++) {
        ref v = ref::new_ref(PyList_GET_ITEM(vis, i));
        if (signals.step(walked) < 0) {
            return nullptr;
        }
        ref n = ref::steal(
            PyObject_CallMethodOneArg(ls, string(s_count), v.get()));
        if (!n || PyDict_SetItem(counts.get(), v.get(), n.get()) < 0) {
            return nullptr;
        }
    }
    return counts.release();
}

// The general walk from `l` (the element in hand, if any) on: containment
// in `vis`, which holds the distinct elements met before, then `count`.
PyObject *general_walk(PyObject *ls, elements &walk, PyObject *vis, ref l,
                       Py_ssize_t walked, frame::signal_check &signals,
                       statement &at)
{
    for (;; walked++, l.reset()) {
        if (!l) {
            // Each step scans `vis`: the signal checks count that work.
            at.line = line::walk;
            int more = signals.step(PyList_GET_SIZE(vis)) < 0 ? -1
                                                              : walk.next(l);
            if (more <= 0) {
                if (more < 0) {
                    return nullptr;
                }
                break;
            }
        }
        at.line = line::contains;
        int seen = PySequence_Contains(vis, l.get());
        if (seen < 0) {
            return nullptr;
        }
        at.line = line::append;
        if (!seen && PyList_Append(vis, l.get()) < 0) {
            return nullptr;
        }
    }
    return count_each(ls, vis, walked, signals, at);
}

// --- the hashed pass ----------------------------------------------------------

// The keys in order of first occurrence: those of the index dict `into`
// when there is one, else those of the counter.
PyObject *keys_in_order(element_counter &counter, PyObject *into)
{
    if (into != nullptr) {
        return PyDict_Keys(into);
    }
    PyObject *keys = PyList_New(counter.size());
    for (Py_ssize_t i = 0; keys != nullptr && i < counter.size(); i++) {
        PyList_SET_ITEM(keys, i, Py_NewRef(counter[i].key));
    }
    return keys;
}

// What `ls.count` gives after the walk for each of `keys`, counted in one
// pass over the contents `ls` has now; as `count` does, it runs no
// signal check. An element that is not admitted needs its own equality:
// then `ls.count` itself is called for each key.
PyObject *recount(PyObject *ls, PyObject *keys, bool fresh,
                  frame::signal_check &signals, statement &at)
{
    at.line = line::count;
    element_counter counter;
    admission admitted;
    Py_ssize_t size = PyList_GET_SIZE(keys);
    if (counter.reserve(size) < 0) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < size; i++) {
        PyObject *key = PyList_GET_ITEM(keys, i);
        if (!admitted.admit(key)) {
            return count_each(ls, keys, size, signals, at);
        }
        Py_hash_t hash = PyObject_Hash(key);
        if (hash == -1 || counter.add(key, hash, equal_elements, 0) < 0) {
            return nullptr;
        }
    }
    elements walk;
    if (walk.start(ls) < 0) {
        return nullptr;
    }
    Py_ssize_t walked = 0;
    for (ref item;; walked++) {
        int more = walk.next(item);
        if (more <= 0) {
            if (more < 0) {
                return nullptr;
            }
            break;
        }
        if (!admitted.admit(item.get())) {
            return count_each(ls, keys, walked, signals, at);
        }
        Py_hash_t hash = PyObject_Hash(item.get());
        if (hash == -1 ||
            counter.add(item.get(), hash, equal_elements, 1, false) < 0) {
            return nullptr;
        }
    }
    return dict_of_elements(counter, fresh);
}

// How many elements the counter sees before choosing how to go on, and the
// share of new keys beyond which the result dict itself becomes the index
// (one probe per new key instead of two). The choice is checked again on
// every later sample: once a quarter of one finds keys already counted, the
// counter takes over again, for good.
constexpr Py_ssize_t sample_size = 4096;
constexpr Py_ssize_t mostly_new_percent = 99;
constexpr Py_ssize_t repeats_percent = 25;

// Counts one more `item` in `counts`, the result dict used as the index:
// one probe inserts a new key with `first`, or finds an old one whose count
// is then raised. Returns 1 when it was there, 0 when new, or -1 with an
// exception set.
int count_in_dict(PyObject *counts, PyObject *item, PyObject *first)
{
    PyObject *current;
    int found = PyDict_SetDefaultRef(counts, item, first, &current);
    if (found <= 0) {
        Py_XDECREF(current);
        return found;
    }
    Py_ssize_t count = PyLong_AsSsize_t(current);
    Py_DECREF(current);
    if (count == -1 && PyErr_Occurred()) {
        return -1;
    }
    ref raised = ref::steal(PyLong_FromSsize_t(count + 1));
    return raised && PyDict_SetItem(counts, item, raised.get()) == 0 ? 1 : -1;
}

// The counter again from the index dict `into`, which it replaces.
int back_to_counter(element_counter &counter, PyObject *into)
{
    counter.clear();
    if (counter.reserve(2 * PyDict_GET_SIZE(into)) < 0) {
        return -1;
    }
    Py_ssize_t position = 0;
    PyObject *key;
    PyObject *value;
    while (PyDict_Next(into, &position, &key, &value)) {
        Py_hash_t hash = PyObject_Hash(key);
        Py_ssize_t count = PyLong_AsSsize_t(value);
        if (hash == -1 || (count == -1 && PyErr_Occurred()) ||
            counter.add(key, hash, equal_elements, count) < 0) {
            return -1;
        }
    }
    return 0;
}

// The hashed pass over `walk` (see the admission rule); `expected` is the
// number of elements, if known, to size the counter. `fresh` when the
// elements are made anew by each read (an array). At the first element that
// is not admitted, the general walk goes on from it.
PyObject *hashed_pass(PyObject *ls, elements &walk, Py_ssize_t expected,
                      bool fresh, statement &at)
{
    element_counter counter;
    ref into;
    Py_ssize_t repeats = 0;
    bool settled = false;
    at.line = line::append;
    ref one = ref::steal(PyLong_FromLong(1));
    ref zero = ref::steal(PyLong_FromLong(0));
    if (!one || !zero ||
        counter.reserve(expected < sample_size ? expected : sample_size) < 0) {
        return nullptr;
    }
    admission admitted;
    frame::signal_check signals;
    Py_ssize_t walked = 0;
    for (;; walked++) {
        ref item;
        at.line = line::walk;
        // The check can run code that changes the sequence: it comes before
        // the next element is taken.
        int more = signals.step() < 0 ? -1 : walk.next(item);
        if (more <= 0) {
            if (more < 0) {
                return nullptr;
            }
            break;
        }
        if (!admitted.admit(item.get())) {
            at.line = line::vis;
            ref vis = ref::steal(keys_in_order(counter, into.get()));
            if (!vis) {
                return nullptr;
            }
            into.reset();
            counter.clear();
            return general_walk(ls, walk, vis.get(), std::move(item), walked,
                                signals, at);
        }
        at.line = line::append;
        if (walked > 0 && walked % sample_size == 0 && !settled) {
            if (!into && counter.size() * 100 >
                             sample_size * mostly_new_percent) {
                into = ref::steal(dict_of_elements(counter, fresh));
                counter.clear();
                if (!into) {
                    return nullptr;
                }
            }
            else if (into && repeats * 100 > sample_size * repeats_percent) {
                if (back_to_counter(counter, into.get()) < 0) {
                    return nullptr;
                }
                into.reset();
                settled = true;
            }
            else if (!into) {
                // Room for as many keys as the sample promises, made once
                // rather than by doubling.
                if (counter.reserve(static_cast<Py_ssize_t>(
                        static_cast<double>(expected) *
                        static_cast<double>(counter.size()) / sample_size)) <
                    0) {
                    return nullptr;
                }
                settled = true;
            }
            repeats = 0;
        }
        if (into) {
            PyObject *first =
                found_by_no_count(item.get(), fresh) ? zero.get() : one.get();
            int found = count_in_dict(into.get(), item.get(), first);
            if (found < 0) {
                return nullptr;
            }
            repeats += found;
            continue;
        }
        Py_hash_t hash = PyObject_Hash(item.get());
        if (hash == -1 || counter.add(item.get(), hash, equal_elements) < 0) {
            return nullptr;
        }
    }
    if (signals.ran()) {
        at.line = line::count;
        ref keys = ref::steal(keys_in_order(counter, into.get()));
        into.reset();
        counter.clear();
        return keys ? recount(ls, keys.get(), fresh, signals, at) : nullptr;
    }
    at.line = line::count;
    if (into) {
        return into.release();
    }
    // The index is done with: freed before the dict is made, the process
    // then holds one large block the less at its peak.
    counter.drop_index();
    return dict_of_elements(counter, fresh);
}

// --- codes of str, bytes and bytearray ------------------------------------------

// One-byte codes counted in one slot each: no hashing at all.
struct byte_tally {
    Py_ssize_t seen[256] = {};
    Py_UCS1 order[256];
    int distinct = 0;

    void add(const Py_UCS1 *codes, Py_ssize_t start, Py_ssize_t end)
    {
        for (Py_ssize_t i = start; i < end; i++) {
            if (seen[codes[i]]++ == 0) {
                order[distinct++] = codes[i];
            }
        }
    }
};

// Pending events are run between chunks of codes.
constexpr Py_ssize_t code_chunk = Py_ssize_t{1} << 20;

PyObject *int_of_byte(Py_UCS4 code) { return PyLong_FromLong(code); }
PyObject *str_of_code(Py_UCS4 code)
{
    return PyUnicode_FromOrdinal(static_cast<int>(code));
}

// The one-byte codes of an exact str, bytes or bytearray. Nothing of `ls`
// is held across a check, so that code run there may change or resize a
// bytearray, as between two steps of its iterator; if code ran, the counts
// are those of its contents after the walk.
PyObject *count_bytes(PyObject *ls, PyObject *(*make_key)(Py_UCS4),
                      statement &at)
{
    auto contents = [ls](Py_ssize_t &length) {
        if (PyUnicode_CheckExact(ls)) {
            length = PyUnicode_GET_LENGTH(ls);
            return static_cast<const Py_UCS1 *>(PyUnicode_DATA(ls));
        }
        length = PyBytes_CheckExact(ls) ? PyBytes_GET_SIZE(ls)
                                        : PyByteArray_GET_SIZE(ls);
        return reinterpret_cast<const Py_UCS1 *>(
            PyBytes_CheckExact(ls) ? PyBytes_AS_STRING(ls)
                                   : PyByteArray_AS_STRING(ls));
    };
    byte_tally tally;
    frame::signal_check signals(1);
    Py_ssize_t length;
    for (Py_ssize_t start = 0;; start += code_chunk) {
        if (start > 0 && signals.step() < 0) {
            return nullptr;
        }
        const Py_UCS1 *codes = contents(length);
        if (start >= length) {
            break;
        }
        tally.add(codes, start,
                  length - start > code_chunk ? start + code_chunk : length);
    }
    if (signals.ran()) {
        byte_tally after;
        const Py_UCS1 *codes = contents(length);
        after.add(codes, 0, length);
        std::memcpy(tally.seen, after.seen, sizeof tally.seen);
    }
    at.line = line::count;
    return dict_of_counts(
        tally.distinct, [&](Py_ssize_t i) { return make_key(tally.order[i]); },
        [&](Py_ssize_t i) { return tally.seen[tally.order[i]]; });
}

int same_code(Py_UCS4 a, Py_UCS4 b) { return a == b; }

// The characters of an exact str; an immutable str needs no recount.
PyObject *count_str(PyObject *ls, statement &at)
{
    int kind = PyUnicode_KIND(ls);
    if (kind == PyUnicode_1BYTE_KIND) {
        return count_bytes(ls, str_of_code, at);
    }
    const void *data = PyUnicode_DATA(ls);
    first_occurrence_counter<Py_UCS4> counter;
    frame::signal_check signals(code_chunk);
    for (Py_ssize_t i = 0; i < PyUnicode_GET_LENGTH(ls); i++) {
        if (signals.step() < 0) {
            return nullptr;
        }
        Py_UCS4 code = PyUnicode_READ(kind, data, i);
        if (counter.add(code, static_cast<Py_hash_t>(code), same_code) < 0) {
            at.line = line::append;
            return nullptr;
        }
    }
    at.line = line::count;
    return dict_of_counts(
        counter.size(), [&](Py_ssize_t i) { return str_of_code(counter[i].key); },
        [&](Py_ssize_t i) { return counter[i].count; });
}

// --- which sequences take the hashed pass -------------------------------------

// Whether `ls` is exactly the builtin extension type named `type_name`
// ("module.name") that the extension module `module_name` defines: a user
// class can take any name, but is neither immutable nor bound to a module
// definition.
bool is_extension_type(PyObject *ls, const char *type_name,
                       const char *module_name)
{
    PyTypeObject *type = Py_TYPE(ls);
    if (std::strcmp(type->tp_name, type_name) != 0 ||
        !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) ||
        !PyType_HasFeature(type, Py_TPFLAGS_IMMUTABLETYPE)) {
        return false;
    }
    PyObject *module = reinterpret_cast<PyHeapTypeObject *>(type)->ht_module;
    if (module == nullptr || !PyModule_Check(module)) {
        return false;
    }
    PyModuleDef *def = PyModule_GetDef(module);
    return def != nullptr && def->m_name != nullptr &&
           std::strcmp(def->m_name, module_name) == 0;
}

// Whether a list or tuple subclass is counted as its base: its iteration,
// its `count` and its attribute look-up are the base's, and its instance
// holds no `count` of its own. 1, 0, or -1 with the error of reading the
// instance dict.
int changes_nothing(PyObject *ls, PyTypeObject *base)
{
    PyTypeObject *type = Py_TYPE(ls);
    PyObject *count = string(s_count);
    if (type->tp_iter != base->tp_iter ||
        type->tp_getattro != PyObject_GenericGetAttr ||
        _PyType_Lookup(type, count) != _PyType_Lookup(base, count)) {
        return 0;
    }
    if (!PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT) &&
        type->tp_dictoffset == 0) {
        return 1;
    }
    ref dict = ref::steal(PyObject_GenericGetDict(ls, nullptr));
    if (!dict) {
        return -1;
    }
    int own = PyDict_Contains(dict.get(), count);
    return own < 0 ? -1 : !own;
}

// The elements of `ls`, counted; NULL with an exception and its statement.
PyObject *count_elements(PyObject *ls, statement &at)
{
    if (PyUnicode_CheckExact(ls)) {
        return count_str(ls, at);
    }
    if (PyBytes_CheckExact(ls) || PyByteArray_CheckExact(ls)) {
        return count_bytes(ls, int_of_byte, at);
    }
    bool hashed = PyList_CheckExact(ls) || PyTuple_CheckExact(ls) ||
                  PyRange_Check(ls) ||
                  is_extension_type(ls, "collections.deque", "_collections");
    bool fresh = !hashed && is_extension_type(ls, "array.array", "array");
    hashed = hashed || fresh;
    if (!hashed && (PyList_Check(ls) || PyTuple_Check(ls))) {
        int same = changes_nothing(
            ls, PyList_Check(ls) ? &PyList_Type : &PyTuple_Type);
        if (same < 0) {
            at.line = line::count;
            return nullptr;
        }
        hashed = same;
    }
    elements walk;
    if (hashed) {
        if (walk.start(ls) < 0) {
            return nullptr;
        }
        // Only sizes the counter. A subclass's own __len__ is not asked;
        // a range too long for len() counts from none.
        Py_ssize_t expected = PyList_Check(ls) || PyTuple_Check(ls)
                                  ? PySequence_Fast_GET_SIZE(ls)
                                  : PyObject_Size(ls);
        if (expected < 0) {
            PyErr_Clear();
            expected = 0;
        }
        return hashed_pass(ls, walk, expected, fresh, at);
    }
    at.line = line::vis;
    ref vis = ref::steal(PyList_New(0));
    if (!vis) {
        return nullptr;
    }
    at.line = line::walk;
    if (walk.start(ls) < 0) {
        return nullptr;
    }
    frame::signal_check signals;
    return general_walk(ls, walk, vis.get(), ref(), 0, signals, at);
}

PyObject *elemcount(call &c) noexcept
{
    ref ls = c.own(0);
    statement at;
    PyObject *counts = count_elements(ls.get(), at);
    return counts != nullptr ? counts : c.fail(at.line);
}

constexpr frame::string_index elemcount_params[] = {s_ls};
constexpr frame::string_index elemcount_locals[] = {s_ls, s_vis, s_l, s_v};

constexpr frame::function_spec functions[] = {
    {
        .name = "elemcount",
        .name_string = s_elemcount,
        .qualname = s_elemcount,
        .params = elemcount_params,
        .required = 1,
        .locals = elemcount_locals,
        .def_line = line::def_elemcount,
        .body = elemcount,
    },
};

}  // namespace

constexpr frame::module_spec frame::this_module = {
    .identity = {"korvex.list.count"},
    .strings = strings,
    .functions = functions,
};

KORVEX_MODULE_INIT(count)
