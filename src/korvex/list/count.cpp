// korvex.list.count: elemcount(ls).
//
// The general walk finds distinct elements by list containment, then calls
// `ls.count` for each: n * k work for n elements, k distinct. Where no
// element's equality or hash runs Python code (the admission rule), one
// hashed pass gives the same dict: a dict look-up, like containment, tries
// identity first, and the `count` of the sequences below finds exactly the
// elements equal to its argument. Paths: exact bytes, bytearray and str of
// one or two bytes a character, one slot per code; exact list and tuple by
// position, exact deque, range, array.array, other str and list or tuple
// subclasses that change nothing of their base by their iterator, the
// hashed pass while elements are admitted; anything else, and the rest of a
// sequence from its first element not admitted, the general walk. A
// sequence changed at a signal check is counted as the general walk counts
// it: keys as the walk met them, counts as `ls.count` gives them after.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>

#include "frame.hpp"

namespace {

using frame::call;
using frame::constant;
using frame::ref;

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

// An element is admitted to the hashed pass when its equality and hash, with
// any other admitted element, run no Python code, cannot raise, and agree
// (equal elements hash alike), as CPython 3.13 compares and hashes them:
//  - exact int, bool, float, complex, str, bytes and None: numeric or
//    character comparisons in C; equal numbers hash alike across int, float
//    and complex; a NaN hashes by its identity and equals only itself;
//  - exact tuple and frozenset whose items are admitted, nested to
//    `max_depth`: a tuple compares item by item, identity first, and hashes
//    from its items; a frozenset compares its cached hash, size and members
//    by their stored hashes, and hashes from those;
//  - instances of a type that keeps object's equality and hash (plain class
//    instances, functions, modules), and classes whose metaclass keeps
//    type's: identity in both.
// Under -b comparing bytes with str or int warns (fails under -bb), which
// the hashed pass, comparing only equal hashes, would skip: once bytes and
// str or int have both been met, at any depth, the element that brings
// them together is not admitted.
constexpr int max_depth = 8;

// Whether `f(member)` holds for each member of `set`, asked in turn: the
// slots that hold one (a key; a deleted slot's dummy, which no frozenset
// has, is asked too, and may only be refused) read as bits first, without
// a branch a slot, whose pattern follows the hashes and defeats the branch
// predictor: 15% on the "5k frozensets" row. A table has a power of two
// slots, at least 8.
template <typename F>
[[gnu::always_inline]] inline bool each_member(PySetObject *set, F &&f)
{
    for (const setentry *slots = set->table, *end = slots + set->mask + 1;
         slots < end; slots += 8) {
        unsigned held = 0;
        for (unsigned i = 0; i < 8; i++) {
            held |= unsigned{slots[i].key != nullptr} << i;
        }
        for (; held != 0; held &= held - 1) {
            if (!f(slots[std::countr_zero(held)].key)) {
                return false;
            }
        }
    }
    return true;
}

class admission {
  public:
    bool admit(PyObject *item)
    {
        return admit(item, 0) &&
               !(bytes_ && beside_bytes_warns_ && bytes_warnings());
    }

  private:
    bool admit(PyObject *item, int depth)
    {
        PyTypeObject *type = Py_TYPE(item);
        if (type == &PyLong_Type || type == &PyUnicode_Type ||
            type == &PyBool_Type) {
            beside_bytes_warns_ = true;
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
        if (type == &PyTuple_Type && depth < max_depth) {
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(item); i++) {
                if (!admit(PyTuple_GET_ITEM(item, i), depth + 1)) {
                    return false;
                }
            }
            return true;
        }
        if (type == &PyFrozenSet_Type && depth < max_depth) {
            return each_member(
                reinterpret_cast<PySetObject *>(item),
                [&](PyObject *member) { return admit(member, depth + 1); });
        }
        return type->tp_hash == PyBaseObject_Type.tp_hash &&
               (type->tp_richcompare == PyBaseObject_Type.tp_richcompare ||
                type->tp_richcompare == PyType_Type.tp_richcompare);
    }

    // Whether -b is in force: the flag the runtime's configuration sets.
    static bool bytes_warnings()
    {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        return Py_BytesWarningFlag > 0;
#pragma GCC diagnostic pop
    }

    bool bytes_ = false, beside_bytes_warns_ = false;
};

// Admitted elements counted in order of first occurrence: entries, and an
// open-addressing index over them, at most half full, of position + 1 (0 is
// a free slot: a calloc'ed index is empty, its untouched pages cost nothing).
class counter {
  public:
    struct entry {
        PyObject *key;  // owned until handed over
        Py_hash_t hash;
        Py_ssize_t count;
    };

    counter() = default;
    counter(const counter &) = delete;
    counter &operator=(const counter &) = delete;
    ~counter() { clear(); }

    void clear()
    {
        for (Py_ssize_t i = handed_over_; i < size_; i++) {
            Py_DECREF(entries_[i].key);
        }
        PyMem_Free(std::exchange(entries_, nullptr));
        PyMem_Free(std::exchange(slots_, nullptr));
        size_ = handed_over_ = slot_count_ = 0;
    }

    Py_ssize_t size() const { return size_; }

    // {key: count} in a dict sized for its keys, or `room`; each key's
    // reference passes over while it is in the cache (no pass to drop it).
    PyObject *dict(Py_ssize_t room = 0)
    {
        // The index is done with: its block can serve the dict.
        PyMem_Free(std::exchange(slots_, nullptr));
        slot_count_ = 0;
        ref counts =
            ref::steal(_PyDict_NewPresized(room > size_ ? room : size_));
        for (; counts && handed_over_ < size_; handed_over_++) {
            entry &e = entries_[handed_over_];
            ref key = ref::steal(e.key);
            ref n = ref::steal(PyLong_FromSsize_t(e.count));
            if (!n || PyDict_SetItem(counts.get(), key.get(), n.get()) < 0) {
                handed_over_++;
                return nullptr;
            }
        }
        return counts.release();
    }

    // Counts `by` more of `key`, new unless `insert` is false. 0, or -1.
    int add(PyObject *key, Py_ssize_t by = 1, bool insert = true)
    {
        Py_hash_t hash = PyObject_Hash(key);
        if (hash == -1 || reserve(size_ + 1) < 0) {
            return -1;
        }
        std::size_t mask = static_cast<std::size_t>(slot_count_) - 1;
        std::size_t perturb = static_cast<std::size_t>(hash);
        std::size_t i = perturb & mask;
        for (; slots_[i] != 0; i = (i * 5 + perturb + 1) & mask) {
            perturb >>= 5;
            entry &e = entries_[slots_[i] - 1];
            if (e.hash == hash) {
                int same = PyObject_RichCompareBool(e.key, key, Py_EQ);
                if (same != 0) {
                    e.count += by;
                    return same < 0 ? -1 : 0;
                }
            }
        }
        if (insert) {
            entries_[size_] = {
                .key = Py_NewRef(key), .hash = hash, .count = by};
            slots_[i] = static_cast<std::uint32_t>(++size_);
        }
        return 0;
    }

    // Room for `count` keys, at once rather than by doubling. 0, or -1.
    int reserve(Py_ssize_t count)
    {
        Py_ssize_t slot_count = 16;
        while (slot_count < count * 2) {
            slot_count *= 2;
        }
        if (slot_count <= slot_count_) {
            return 0;
        }
        // The index holds 32-bit positions.
        auto size = static_cast<std::size_t>(slot_count);
        auto *slots = static_cast<std::uint32_t *>(
            size > std::size_t{1} << 32 ? nullptr : PyMem_Calloc(size, 4));
        void *entries = slots
                            ? PyMem_Realloc(entries_, sizeof(entry) * size / 2)
                            : nullptr;
        if (entries == nullptr) {
            PyMem_Free(slots);
            PyErr_NoMemory();
            return -1;
        }
        entries_ = static_cast<entry *>(entries);
        std::size_t mask = size - 1;
        for (Py_ssize_t index = 0; index < size_; index++) {
            std::size_t perturb =
                static_cast<std::size_t>(entries_[index].hash);
            std::size_t i = perturb & mask;
            for (; slots[i] != 0; i = (i * 5 + perturb + 1) & mask) {
                perturb >>= 5;
            }
            slots[i] = static_cast<std::uint32_t>(index + 1);
        }
        PyMem_Free(slots_);
        slots_ = slots;
        slot_count_ = slot_count;
        return 0;
    }

  private:
    entry *entries_ = nullptr;
    Py_ssize_t size_ = 0;
    Py_ssize_t handed_over_ = 0;
    std::uint32_t *slots_ = nullptr;
    Py_ssize_t slot_count_ = 0;
};

// Ahead of the hashed pass by position, in three steps, each finding in
// cache what the one before fetched: 12 ahead an element's first lines, 8
// ahead a frozenset's table, 4 ahead the objects a tuple or small frozenset
// holds, whose types admission reads. On the 100k distinct rows: ints
// 10-15%, 2-tuples 20%, frozensets 30%. Always inline: alone, a function of
// prefetches only is taken for one without effect and dropped.
[[gnu::always_inline]] inline void prefetch(const frame::element_walk &walk)
{
    std::span<PyObject *const> next = walk.upcoming();
    if (next.size() <= 12) {
        return;
    }
    __builtin_prefetch(next[12], 1);
    __builtin_prefetch(reinterpret_cast<char *>(next[12]) + 40);
    if (PyFrozenSet_CheckExact(next[8])) {
        auto *set = reinterpret_cast<PySetObject *>(next[8]);
        for (int slot : {0, 3, 7}) {  // 128 bytes: three lines at most
            __builtin_prefetch(set->table + slot);
        }
    }
    PyObject *near = next[4];
    auto *set = reinterpret_cast<PySetObject *>(near);
    if (PyFrozenSet_CheckExact(near) && set->mask < PySet_MINSIZE) {
        each_member(set, [](PyObject *member) {
            __builtin_prefetch(reinterpret_cast<char *>(member) + 8);
            return true;
        });
    }
    for (Py_ssize_t i = 0;
         PyTuple_CheckExact(near) && i < Py_SIZE(near) && i < 8; i++) {
        __builtin_prefetch(
            reinterpret_cast<char *>(PyTuple_GET_ITEM(near, i)) + 8);
    }
}

// {v: ls.count(v) for v in vis}; `walked` weighs each call in the checks.
PyObject *count_each(PyObject *ls, PyObject *vis, Py_ssize_t walked,
                     frame::signal_check &signals, call &c)
{
    c.at(line::count);
    ref counts = ref::steal(PyDict_New());
    // User code can reach `vis` (through the collector's referrers): each
    // element is owned while `count` runs.
    for (Py_ssize_t i = 0; counts && i < PyList_GET_SIZE(vis); i++) {
        ref v = ref::new_ref(PyList_GET_ITEM(vis, i));
        if (signals.step(walked) < 0) {
            return nullptr;
        }
        ref n = ref::steal(
            PyObject_CallMethodOneArg(ls, constant(s_count), v.get()));
        if (!n || PyDict_SetItem(counts.get(), v.get(), n.get()) < 0) {
            return nullptr;
        }
    }
    return counts.release();
}

// The general walk from `l` (the element in hand, if any) on: containment
// in `vis`, which holds the distinct elements met before, then `count`.
PyObject *general_walk(PyObject *ls, frame::element_walk &walk, PyObject *vis,
                       ref l, Py_ssize_t walked, call &c)
{
    for (;; walked++, l.reset()) {
        // Each step scans `vis`: the signal checks count that work.
        c.at(line::walk);
        int more = l ? 1 : walk.next(l, PyList_GET_SIZE(vis));
        if (more <= 0) {
            return more < 0 ? nullptr
                            : count_each(ls, vis, walked, walk.signals(), c);
        }
        c.at(line::contains);
        int seen = PySequence_Contains(vis, l.get());
        if (seen < 0) {
            return nullptr;
        }
        c.at(line::append);
        if (!seen && PyList_Append(vis, l.get()) < 0) {
            return nullptr;
        }
    }
}

// What `ls.count` gives after the walk for each of `keys`, in one pass over
// what `ls` holds now, with no check, as `count` makes none; if an element
// or key is not admitted, `ls.count` itself is called for each key.
PyObject *recount(PyObject *ls, PyObject *keys, frame::signal_check &signals,
                  call &c)
{
    c.at(line::count);
    counter counted;
    admission admitted;
    // 1 when an element needs `ls.count`, else 0, or -1 with an error.
    auto pass = [&](PyObject *elements_of, Py_ssize_t by, bool insert) {
        frame::element_walk walk;
        int more = walk.start(elements_of);
        for (ref item; more == 0 && (more = walk.next(item, 0)) > 0;
             more = 0) {
            if (!admitted.admit(item.get())) {
                return 1;
            }
            if (counted.add(item.get(), by, insert) < 0) {
                return -1;
            }
        }
        return more;
    };
    int done = pass(keys, 0, true);
    done = done == 0 ? pass(ls, 1, false) : done;
    if (done > 0) {
        return count_each(ls, keys, PyList_GET_SIZE(keys), signals, c);
    }
    return done < 0 ? nullptr : counted.dict();
}

// After `first_sample` elements nearly all new keys, the result dict itself
// is the index (one probe per new key, not two), sized for every element,
// while each later sample of `sample_size` holds nearly only new keys;
// else the counter takes over for good, sized once for as many keys as the
// samples promise, and makes the dict sized for its keys.
constexpr Py_ssize_t first_sample = 128;
constexpr Py_ssize_t sample_size = 4096;
constexpr Py_ssize_t mostly_new_percent = 99;

// One more `item` in `counts`, the result dict as the index, one probe if
// new: 1 when it was there, 0 when new, or -1 with an exception set.
int count_in_dict(PyObject *counts, PyObject *item)
{
    PyObject *one = PyLong_FromLong(1);  // a small int: immortal
    PyObject *current;
    int found = PyDict_SetDefaultRef(counts, item, one, &current);
    ref was = ref::steal(current);
    if (found <= 0) {
        return found;
    }
    ref raised =
        ref::steal(PyLong_CheckExact(current) ? PyNumber_Add(current, one)
                                              : Py_NewRef(one));
    return raised && PyDict_SetItem(counts, item, raised.get()) == 0 ? 1 : -1;
}

// The hashed pass over `walk`, sized for `expected` elements; from the first
// element not admitted, the general walk. `fresh` for an array, whose
// elements are made anew by each read: a NaN among them, equal to no other
// object, is found by no `count`, which the recount gives.
// Out of line, as `count_codes` is: its locals stay off the stack of the
// general walk, which a cycle of calls through `count` stacks up.
[[gnu::noinline]] PyObject *hashed_pass(PyObject *ls,
                                        frame::element_walk &walk,
                                        Py_ssize_t expected, bool fresh,
                                        call &c)
{
    counter counted;
    ref index_dict;
    Py_ssize_t repeats = 0, next_sample = first_sample;  // -1: settled
    bool fresh_nan = false;
    int more;
    c.at(line::append);
    if (counted.reserve(std::min(expected, first_sample)) < 0) {
        return nullptr;
    }
    admission admitted;
    frame::signal_check &signals = walk.signals();
    // The keys so far, in order; the index is done with.
    auto keys = [&] {
        ref counts =
            index_dict ? std::move(index_dict) : ref::steal(counted.dict());
        counted.clear();
        return ref::steal(counts ? PyDict_Keys(counts.get()) : nullptr);
    };
    for (Py_ssize_t walked = 0;; walked++) {
        ref item;
        c.at(line::walk);
        // The walk's check can run code that changes the sequence: it
        // comes before the next element is taken (the prefetch only reads).
        prefetch(walk);
        if ((more = walk.next(item)) <= 0) {
            break;
        }
        if (!admitted.admit(item.get())) {
            c.at(line::vis);
            ref vis = keys();
            return vis ? general_walk(ls, walk, vis.get(), std::move(item),
                                      walked, c)
                       : nullptr;
        }
        c.at(line::append);
        if (walked == next_sample) {
            next_sample += sample_size;
            if (!index_dict &&
                counted.size() * 100 > first_sample * mostly_new_percent) {
                index_dict = ref::steal(counted.dict(expected));
                counted.clear();
                if (!index_dict) {
                    return nullptr;
                }
            }
            else if (!index_dict ||
                     repeats * 100 >
                         sample_size * (100 - mostly_new_percent)) {
                next_sample = -1;
                // Code run at a check (counts are then taken again) may
                // have put any key here: each is held while it hashes.
                PyObject *key, *value;
                for (Py_ssize_t at = 0;
                     index_dict &&
                     PyDict_Next(index_dict.get(), &at, &key, &value);) {
                    ref held = ref::new_ref(key);
                    Py_ssize_t n = signals.ran() ? 1 : PyLong_AsSsize_t(value);
                    if (n == -1 || counted.add(key, n) < 0) {
                        return nullptr;
                    }
                }
                index_dict.reset();
                if (counted.reserve(static_cast<Py_ssize_t>(
                        static_cast<double>(expected) / walked *
                        static_cast<double>(counted.size()))) < 0) {
                    return nullptr;
                }
            }
            repeats = 0;
        }
        if (fresh && PyFloat_CheckExact(item.get()) &&
            std::isnan(PyFloat_AS_DOUBLE(item.get()))) {
            fresh_nan = true;
        }
        if (index_dict) {
            int found = count_in_dict(index_dict.get(), item.get());
            if (found < 0) {
                return nullptr;
            }
            repeats += found;
        }
        else if (counted.add(item.get()) < 0) {
            return nullptr;
        }
    }
    if (more < 0) {
        return nullptr;
    }
    c.at(line::count);
    if (signals.ran() || fresh_nan) {
        ref found = keys();
        return found ? recount(ls, found.get(), signals, c) : nullptr;
    }
    return index_dict ? index_dict.release() : counted.dict();
}

// The codes of an exact bytes, bytearray, or str of one or two bytes a
// character, one slot each (untouched pages cost nothing); none held across
// a check, which may resize a bytearray.
template <typename Code>
[[gnu::noinline]] PyObject *count_codes(PyObject *ls, call &c)
{
    constexpr std::size_t codes = std::size_t{1} << (8 * sizeof(Code));
    bool text = PyUnicode_CheckExact(ls);
    auto contents = [ls, text](Py_ssize_t &length) -> const Code * {
        length = text ? PyUnicode_GET_LENGTH(ls) : Py_SIZE(ls);
        const void *data = text ? PyUnicode_DATA(ls)
                           : PyBytes_CheckExact(ls)
                               ? PyBytes_AS_STRING(ls)
                               : PyByteArray_AS_STRING(ls);
        return static_cast<const Code *>(data);
    };
    struct table {
        Py_ssize_t *seen = static_cast<Py_ssize_t *>(
            PyMem_Calloc(codes, sizeof(Py_ssize_t) + sizeof(Code)));
        ~table() { PyMem_Free(seen); }
    } held;
    Py_ssize_t *seen = held.seen;
    auto *order = reinterpret_cast<Code *>(seen + codes);
    Py_ssize_t distinct = 0;
    if (seen == nullptr) {
        c.at(line::append);
        return PyErr_NoMemory();
    }
    constexpr Py_ssize_t chunk = Py_ssize_t{1} << 20;  // codes per check
    frame::signal_check signals(1);
    Py_ssize_t length;
    contents(length);
    for (Py_ssize_t start = 0; start < length; start += chunk) {
        if (start > 0 && signals.step() < 0) {
            return nullptr;
        }
        const Code *at = contents(length);
        for (Py_ssize_t i = start; i < length && i < start + chunk; i++) {
            if (seen[at[i]]++ == 0) {
                order[distinct++] = at[i];
            }
        }
    }
    if (signals.ran()) {
        std::memset(seen, 0, codes * sizeof(Py_ssize_t));
        for (const Code *at = contents(length), *end = at + length; at < end;
             at++) {
            seen[*at]++;
        }
    }
    c.at(line::count);
    ref counts = ref::steal(_PyDict_NewPresized(distinct));
    for (Py_ssize_t i = 0; counts && i < distinct; i++) {
        ref key = ref::steal(text ? PyUnicode_FromOrdinal(order[i])
                                  : PyLong_FromLong(order[i]));
        ref n = ref::steal(PyLong_FromSsize_t(seen[order[i]]));
        if (!key || !n ||
            PyDict_SetItem(counts.get(), key.get(), n.get()) < 0) {
            return nullptr;
        }
    }
    return counts.release();
}

// Whether `ls` is exactly the type `type_name` of the extension module
// `module_name`: a Python class may take the name, but has no module.
bool is_extension_type(PyObject *ls, const char *type_name,
                       const char *module_name)
{
    PyTypeObject *type = Py_TYPE(ls);
    PyObject *module =
        PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)
            ? reinterpret_cast<PyHeapTypeObject *>(type)->ht_module
            : nullptr;
    PyModuleDef *def = module ? PyModule_GetDef(module) : nullptr;
    return def && def->m_name && std::strcmp(def->m_name, module_name) == 0 &&
           std::strcmp(type->tp_name, type_name) == 0;
}

// Whether a list or tuple subclass is counted as its base: its iteration,
// `count` and attribute look-up are the base's, and no `count` of its own
// is in its instance dict. 1, 0, or -1 with the error of reading that.
int changes_nothing(PyObject *ls, PyTypeObject *base)
{
    PyTypeObject *type = Py_TYPE(ls);
    PyObject *count = constant(s_count);
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
    int own = dict ? PyDict_Contains(dict.get(), count) : -1;
    return own < 0 ? -1 : !own;
}

PyObject *elemcount(call &c) noexcept
{
    PyObject *ls = c[0];
    int kind = PyUnicode_CheckExact(ls) ? PyUnicode_KIND(ls) : 0;
    if (PyBytes_CheckExact(ls) || PyByteArray_CheckExact(ls) ||
        kind == PyUnicode_1BYTE_KIND) {
        return count_codes<Py_UCS1>(ls, c);
    }
    if (kind == PyUnicode_2BYTE_KIND) {
        return count_codes<Py_UCS2>(ls, c);
    }
    bool fresh = is_extension_type(ls, "array.array", "array");
    int hashed = fresh || PyList_CheckExact(ls) || PyTuple_CheckExact(ls) ||
                 PyUnicode_CheckExact(ls) || PyRange_Check(ls) ||
                 is_extension_type(ls, "collections.deque", "_collections");
    if (!hashed && (PyList_Check(ls) || PyTuple_Check(ls))) {
        c.at(line::count);
        hashed = changes_nothing(
            ls, PyList_Check(ls) ? &PyList_Type : &PyTuple_Type);
        if (hashed < 0) {
            return nullptr;
        }
    }
    frame::element_walk walk;
    ref vis = ref::steal(hashed ? nullptr : PyList_New(0));
    c.at(hashed || vis ? line::walk : line::vis);
    if ((!hashed && !vis) || walk.start(ls) < 0) {
        return nullptr;
    }
    if (!hashed) {
        return general_walk(ls, walk, vis.get(), ref(), 0, c);
    }
    // Only sizes the counter. A subclass's own __len__ is not asked; a
    // range too long for len() counts from none.
    Py_ssize_t expected = PyList_Check(ls) || PyTuple_Check(ls)
                              ? PySequence_Fast_GET_SIZE(ls)
                              : PyObject_Size(ls);
    if (expected < 0) {
        PyErr_Clear();
    }
    return hashed_pass(ls, walk, expected < 0 ? 0 : expected, fresh, c);
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
