// korvex.list.count: elemcount(ls).
//
// The general walk decides distinctness by list containment, which costs
// n * k for n elements of which k are distinct. Exact lists and tuples of
// builtin scalars, exact str and exact bytes take hashed paths that give the
// very same dict: for those types hashing and equality run no Python code
// and agree with each other, and a dict look-up, like list containment,
// tries identity before equality.
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

// --- fast paths -------------------------------------------------------------

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
    ~first_occurrence_counter()
    {
        if constexpr (std::is_same_v<Key, PyObject *>) {
            for (Py_ssize_t i = handed_over_; i < size_; i++) {
                Py_DECREF(entries_[i].key);
            }
        }
        PyMem_Free(entries_);
        PyMem_Free(slots_);
    }

    // Room for `count` distinct keys without growing. Returns 0, or -1
    // with MemoryError set.
    int reserve(Py_ssize_t count)
    {
        return reserve_entries(count) < 0 || grow(count) < 0 ? -1 : 0;
    }

    // After `sampled` elements, room for as many distinct keys among
    // `total` as the sample promises (at most one per element), made once
    // rather than by doubling. Returns 0, or -1 with MemoryError set.
    int reserve_as_sampled(Py_ssize_t sampled, Py_ssize_t total)
    {
        return reserve(static_cast<Py_ssize_t>(static_cast<double>(total) *
                                               static_cast<double>(size_) /
                                               static_cast<double>(sampled)));
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
    // longer owns it (nor looks it up again). Handing over each key while
    // it is in the cache saves a pass over all of them at the end.
    PyObject *hand_over(Py_ssize_t i)
        requires std::is_same_v<Key, PyObject *>
    {
        handed_over_ = i + 1;
        return entries_[i].key;
    }

    // Counts one occurrence of `key`. `equal(a, b)` returns 1, 0 or -1 on
    // error. Returns 0, or -1 with an exception set.
    template <typename Equal>
    int add(Key key, Py_hash_t hash, Equal equal)
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
                if (same < 0) {
                    return -1;
                }
                if (same) {
                    e.count++;
                    return 0;
                }
            }
            perturb >>= 5;
            i = (i * 5 + perturb + 1) & mask;
        }
        if (size_ == capacity_ && reserve_entries(capacity_ * 2) < 0) {
            return -1;
        }
        if constexpr (std::is_same_v<Key, PyObject *>) {
            Py_INCREF(key);
        }
        entries_[size_] = entry{.key = key, .hash = hash, .count = 1};
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

// {key(i): count(i)} for i from 0 to n - 1, in that order, in a dict sized
// for `room` keys (at least n). `key` returns a new reference.
template <typename Key, typename Count>
PyObject *dict_of_counts(Py_ssize_t n, Py_ssize_t room, Key key, Count count)
{
    ref counts = ref::steal(_PyDict_NewPresized(room > n ? room : n));
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

// {key: count} from the counter, keys made by `make_key`.
template <typename Key, typename MakeKey>
PyObject *counts_dict(const first_occurrence_counter<Key> &counter,
                      MakeKey make_key, Py_ssize_t room = 0)
{
    return dict_of_counts(
        counter.size(), room,
        [&](Py_ssize_t i) { return make_key(counter[i].key); },
        [&](Py_ssize_t i) { return counter[i].count; });
}

// Admits the elements of a sequence one at a time while they are builtin
// scalars of exact types (int, bool, float, str, bytes, None) and no bytes
// object stands beside a str, int or bool: under -b comparing those warns,
// and the hashed pass would skip comparisons that the general walk makes.
class scalar_admission {
  public:
    bool admit(PyObject *item)
    {
        if (PyBytes_CheckExact(item)) {
            binary_ = true;
        }
        else if (PyUnicode_CheckExact(item) || PyLong_CheckExact(item) ||
                 PyBool_Check(item)) {
            compared_with_bytes_warns_ = true;
        }
        else if (!PyFloat_CheckExact(item) && item != Py_None) {
            return false;
        }
        return !(binary_ && compared_with_bytes_warns_);
    }

  private:
    bool binary_ = false;
    bool compared_with_bytes_warns_ = false;
};

// How many elements ahead a walk asks for an element's memory. The
// elements of a large list lie scattered; hashing one reads its header
// (reference count, type) and the value its hash comes from (an int's
// digits, a str's cached hash), which in a 32-byte object can lie on the
// next cache line: both are asked for.
constexpr Py_ssize_t prefetch_distance = 8;

void prefetch_element(PyObject *element)
{
    constexpr std::size_t hashed_value_offset = 24;
    auto *at = reinterpret_cast<const char *>(element);
    __builtin_prefetch(at, 1);
    __builtin_prefetch(at + hashed_value_offset);
}

// {key: count} from the counter of elements, whose references to the keys
// pass to the dict: the counter is done with.
PyObject *counts_dict_of_elements(first_occurrence_counter<PyObject *> &counter,
                                  Py_ssize_t room = 0)
{
    return dict_of_counts(
        counter.size(), room,
        [&](Py_ssize_t i) {
            if (i + prefetch_distance < counter.size()) {
                prefetch_element(counter[i + prefetch_distance].key);
            }
            return counter.hand_over(i);
        },
        [&](Py_ssize_t i) { return counter[i].count; });
}

int equal_scalars(PyObject *a, PyObject *b)
{
    return PyObject_RichCompareBool(a, b, Py_EQ);
}

// How many elements the index sees before choosing how to go on, and the
// share of distinct ones beyond which the result dict itself becomes the
// index.
constexpr Py_ssize_t sample_size = 4096;
constexpr Py_ssize_t mostly_distinct_percent = 99;

// Counts one more `item` in `counts`, the result dict used as the index:
// one probe inserts a new key with `one`, or finds an old one whose count
// is then raised. Returns 0, or -1 with an exception set.
int count_in_dict(PyObject *counts, PyObject *item, PyObject *one)
{
    PyObject *current;
    int found = PyDict_SetDefaultRef(counts, item, one, &current);
    if (found <= 0) {
        Py_XDECREF(current);
        return found;
    }
    Py_ssize_t count = PyLong_AsSsize_t(current);
    Py_DECREF(current);
    ref raised = ref::steal(PyLong_FromSsize_t(count + 1));
    return raised ? PyDict_SetItem(counts, item, raised.get()) : -1;
}

// The elements that `next` yields (1 with an owned item, 0 at the end, -1
// with the walk's error), counted in one hashed pass while they are
// admitted scalars: neither hashing nor comparing them runs Python code,
// and a dict look-up, like list containment, tries identity before
// equality, so a dict keeps the first of equal elements as the key, NaN
// objects included. `room` is the expected number of elements. Returns
// false, having run no code of any element, as soon as one is not
// admitted: the caller then walks the sequence generally from its start.
// Otherwise true, with the counts or NULL after `c.fail`.
template <typename Next>
bool count_scalars(call &c, Next next, Py_ssize_t room, PyObject *&counts)
{
    counts = nullptr;
    first_occurrence_counter<PyObject *> counter;
    if (counter.reserve(room < sample_size ? room : sample_size) < 0) {
        c.fail(line::append);
        return true;
    }
    // Once most elements of a sample are distinct, the result dict itself
    // is the index: one probe per element instead of two.
    ref into;
    ref one = ref::steal(PyLong_FromLong(1));
    if (!one) {
        c.fail(line::append);
        return true;
    }
    scalar_admission admission;
    frame::signal_check signals;
    for (Py_ssize_t walked = 0;; walked++) {
        ref item;
        // The signal check can run finalizers that change the sequence:
        // it comes before the next element is taken.
        int more = signals.step() < 0 ? -1 : next(item);
        if (more <= 0) {
            if (more < 0) {
                c.fail(line::walk);
                return true;
            }
            break;
        }
        if (!admission.admit(item.get())) {
            return false;
        }
        if (walked == sample_size && !into) {
            if (counter.size() * 100 > sample_size * mostly_distinct_percent) {
                into = ref::steal(counts_dict_of_elements(counter, room));
                if (!into) {
                    c.fail(line::append);
                    return true;
                }
            }
            else if (counter.reserve_as_sampled(sample_size, room) < 0) {
                c.fail(line::append);
                return true;
            }
        }
        if (into) {
            if (count_in_dict(into.get(), item.get(), one.get()) < 0) {
                c.fail(line::append);
                return true;
            }
            continue;
        }
        Py_hash_t hash = PyObject_Hash(item.get());
        if (hash == -1 || counter.add(item.get(), hash, equal_scalars) < 0) {
            c.fail(line::append);
            return true;
        }
    }
    if (into) {
        counts = into.release();
    }
    else {
        // The index is done with: freed before the dict is made, the
        // process then holds one large block the less at its peak.
        counter.drop_index();
        counts = counts_dict_of_elements(counter);
    }
    if (counts == nullptr) {
        c.fail(line::count);
    }
    return true;
}

// An exact list or tuple, by position, its length read again before every
// step.
bool count_sequence(call &c, PyObject *ls, PyObject *&counts)
{
    Py_ssize_t i = 0;
    auto next = [ls, &i](ref &item) {
        Py_ssize_t size = PySequence_Fast_GET_SIZE(ls);
        if (i >= size) {
            return 0;
        }
        PyObject **items = PySequence_Fast_ITEMS(ls);
        if (i + prefetch_distance < size) {
            prefetch_element(items[i + prefetch_distance]);
        }
        item = ref::new_ref(items[i++]);
        return 1;
    };
    return count_scalars(c, next, PySequence_Fast_GET_SIZE(ls), counts);
}

int same_code(Py_UCS4 a, Py_UCS4 b) { return a == b; }

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

    // {make_key(code): count}, in order of first occurrence.
    template <typename MakeKey>
    PyObject *dict(MakeKey make_key) const
    {
        return dict_of_counts(
            distinct, 0, [&](Py_ssize_t i) { return make_key(order[i]); },
            [&](Py_ssize_t i) { return seen[order[i]]; });
    }
};

// A byte as bytes and bytearray yield it.
PyObject *int_of_byte(Py_UCS4 code) { return PyLong_FromLong(code); }

// Pending signals are checked between chunks of codes or elements.
constexpr Py_ssize_t element_chunk = Py_ssize_t{1} << 20;

// Characters of an exact str, or bytes of an exact bytes object, counted
// directly; `make_key` turns a code into the element the walk would give.
template <typename MakeKey>
PyObject *count_codes(call &c, int kind, const void *data, Py_ssize_t length,
                      MakeKey make_key)
{
    PyObject *counts;
    if (kind == PyUnicode_1BYTE_KIND) {
        byte_tally tally;
        auto *codes = static_cast<const Py_UCS1 *>(data);
        for (Py_ssize_t start = 0; start < length; start += element_chunk) {
            if (start > 0 && PyErr_CheckSignals() < 0) {
                return c.fail(line::walk);
            }
            Py_ssize_t left = length - start;
            tally.add(codes, start,
                      left > element_chunk ? start + element_chunk : length);
        }
        counts = tally.dict(make_key);
    }
    else {
        first_occurrence_counter<Py_UCS4> counter;
        frame::signal_check signals(element_chunk);
        for (Py_ssize_t i = 0; i < length; i++) {
            if (signals.step() < 0) {
                return c.fail(line::walk);
            }
            Py_UCS4 code = PyUnicode_READ(kind, data, i);
            if (counter.add(code, static_cast<Py_hash_t>(code), same_code) <
                0) {
                return c.fail(line::append);
            }
        }
        counts = counts_dict(counter, make_key);
    }
    return counts != nullptr ? counts : c.fail(line::count);
}

// The fast paths stay out of line: their tables would otherwise sit in the
// frame of every elemcount call, which recursion through `count` stacks up.
[[gnu::noinline]] PyObject *count_fast(call &c, PyObject *ls)
{
    if (PyUnicode_CheckExact(ls)) {
        return count_codes(
            c, PyUnicode_KIND(ls), PyUnicode_DATA(ls),
            PyUnicode_GET_LENGTH(ls), [](Py_UCS4 code) {
                return PyUnicode_FromOrdinal(static_cast<int>(code));
            });
    }
    return count_codes(c, PyUnicode_1BYTE_KIND, PyBytes_AS_STRING(ls),
                       PyBytes_GET_SIZE(ls), int_of_byte);
}

// --- other exact builtin sequences ------------------------------------------

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

// An exact deque, through its own iterator, which notices a deque changed
// by a signal handler or a finalizer as the general walk would.
bool count_deque(call &c, PyObject *ls, PyObject *&counts)
{
    ref iterator = ref::steal(PyObject_GetIter(ls));
    if (!iterator) {
        counts = c.fail(line::walk);
        return true;
    }
    auto next = [&iterator](ref &item) {
        return frame::next_item(iterator.get(), item);
    };
    return count_scalars(c, next, PyObject_Size(ls), counts);
}

// An exact range yields distinct ints, and its `count` of an exact int is 0
// or 1: each element is a key counted once. The keys are the ints its own
// iterator yields.
PyObject *count_range(call &c, PyObject *ls)
{
    ref iterator = ref::steal(PyObject_GetIter(ls));
    if (!iterator) {
        return c.fail(line::walk);
    }
    // Sized for every element; a range too long for len() grows as it
    // goes.
    Py_ssize_t size = PyObject_Size(ls);
    if (size < 0) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
            return c.fail(line::walk);
        }
        PyErr_Clear();
        size = 0;
    }
    ref counts = ref::steal(_PyDict_NewPresized(size));
    ref one = ref::steal(PyLong_FromLong(1));
    if (!counts || !one) {
        return c.fail(line::append);
    }
    frame::signal_check signals;
    for (;;) {
        if (signals.step() < 0) {
            return c.fail(line::walk);
        }
        ref item = ref::steal(PyIter_Next(iterator.get()));
        if (!item) {
            if (PyErr_Occurred()) {
                return c.fail(line::walk);
            }
            break;
        }
        if (PyDict_SetItem(counts.get(), item.get(), one.get()) < 0) {
            return c.fail(line::append);
        }
    }
    return counts.release();
}

// Elements of a bytearray or an array are read in chunks; signals are
// checked between them, with nothing of the object held, so that a handler
// or a finalizer may change or resize it, as between two steps of its
// iterator. The walk reads the current contents as the iterator would; if a
// check ran, the counts are taken again from the final contents, as `count`
// would take them after the walk.

// The ints of an exact bytearray, one slot per value.
PyObject *count_bytearray(call &c, PyObject *ls)
{
    byte_tally tally;
    bool checked = false;
    for (Py_ssize_t start = 0;; start += element_chunk) {
        if (start > 0) {
            if (PyErr_CheckSignals() < 0) {
                return c.fail(line::walk);
            }
            checked = true;
        }
        Py_ssize_t length = PyByteArray_GET_SIZE(ls);
        if (start >= length) {
            break;
        }
        tally.add(
            reinterpret_cast<const Py_UCS1 *>(PyByteArray_AS_STRING(ls)),
            start,
            length - start > element_chunk ? start + element_chunk : length);
    }
    if (checked) {
        byte_tally recount;
        recount.add(
            reinterpret_cast<const Py_UCS1 *>(PyByteArray_AS_STRING(ls)), 0,
            PyByteArray_GET_SIZE(ls));
        std::memcpy(tally.seen, recount.seen, sizeof tally.seen);
    }
    PyObject *counts = tally.dict(int_of_byte);
    return counts != nullptr ? counts : c.fail(line::count);
}

// How the elements of one array typecode become counted keys. `Item` is the
// stored type, `Key` the counted one; `valid` is false for a stored value
// that the array cannot turn into an element (`make_key` then raises what
// the array raises); `counted` is false for a key that `count` never finds,
// a NaN: the array makes a new float for each element, never the key
// object, and NaN equals nothing.
template <typename Stored>
struct int_items {
    using Item = Stored;
    using Key = std::conditional_t<std::is_signed_v<Item>, long long,
                                   unsigned long long>;
    static Key key(Item item) { return item; }
    static Py_hash_t hash(Key key, Py_ssize_t) {
        return static_cast<Py_hash_t>(key);
    }
    static int equal(Key a, Key b) { return a == b; }
    static bool valid(Key) { return true; }
    static bool counted(Key) { return true; }
    static PyObject *make_key(Key key)
    {
        if constexpr (std::is_signed_v<Item>) {
            return PyLong_FromLongLong(key);
        }
        else {
            return PyLong_FromUnsignedLongLong(key);
        }
    }
};

template <typename Stored>
struct float_items {
    using Item = Stored;
    using Key = double;
    static Key key(Item item) { return item; }
    // 0.0 and -0.0 are equal and hash alike; each NaN is a key of its own,
    // hashed by its position so that many of them do not share a chain.
    static Py_hash_t hash(Key key, Py_ssize_t position)
    {
        if (key != key) {
            return static_cast<Py_hash_t>(position);
        }
        if (key == 0.0) {
            key = 0.0;
        }
        // Mixed, so that the low bits, zero in doubles of small ints,
        // depend on all of them.
        std::uint64_t bits;
        std::memcpy(&bits, &key, sizeof bits);
        bits ^= bits >> 32;
        bits *= 0x9e3779b97f4a7c15u;
        return static_cast<Py_hash_t>(bits ^ (bits >> 29));
    }
    static int equal(Key a, Key b) { return a == b; }
    static bool valid(Key) { return true; }
    static bool counted(Key key) { return key == key; }
    static PyObject *make_key(Key key) { return PyFloat_FromDouble(key); }
};

// Typecodes 'u' and 'w' hold code points of four bytes.
struct code_items {
    using Item = std::uint32_t;
    using Key = Py_UCS4;
    static Key key(std::uint32_t item) { return item; }
    static Py_hash_t hash(Key key, Py_ssize_t)
    {
        return static_cast<Py_hash_t>(key);
    }
    static int equal(Key a, Key b) { return a == b; }
    static bool valid(Key key) { return key < 0x110000; }
    static bool counted(Key) { return true; }
    static PyObject *make_key(Key key)
    {
        return PyUnicode_FromOrdinal(static_cast<int>(key));
    }
};

template <typename Items>
PyObject *count_array_items(call &c, PyObject *ls)
{
    using Item = typename Items::Item;
    using Key = typename Items::Key;
    first_occurrence_counter<Key> counter;
    bool checked = false;
    Py_ssize_t position = 0;
    for (;;) {
        if (position > 0) {
            if (PyErr_CheckSignals() < 0) {
                return c.fail(line::walk);
            }
            checked = true;
        }
        Py_buffer view;
        if (PyObject_GetBuffer(ls, &view, PyBUF_SIMPLE) < 0) {
            return c.fail(line::walk);
        }
        Py_ssize_t length = view.len / static_cast<Py_ssize_t>(sizeof(Item));
        Py_ssize_t end = length - position > element_chunk
                             ? position + element_chunk
                             : length;
        auto *items = static_cast<const Item *>(view.buf);
        int failed = 0;
        if (position == 0 &&
            counter.reserve(length < sample_size ? length : sample_size) < 0) {
            failed = line::append;
        }
        for (; !failed && position < end; position++) {
            if (position == sample_size &&
                counter.reserve_as_sampled(sample_size, length) < 0) {
                failed = line::append;
                break;
            }
            Key key = Items::key(items[position]);
            if (!Items::valid(key)) {
                Py_XDECREF(Items::make_key(key));
                failed = line::walk;
                break;
            }
            if (counter.add(key, Items::hash(key, position), Items::equal) <
                0) {
                failed = line::append;
                break;
            }
        }
        PyBuffer_Release(&view);
        if (failed) {
            return c.fail(failed);
        }
        if (position >= length) {
            break;
        }
    }
    // Counted again from the final contents, the keys first so that key j
    // keeps position j and its count is one too many.
    first_occurrence_counter<Key> recount;
    if (checked && counter.size() > 0) {
        for (Py_ssize_t j = 0; j < counter.size(); j++) {
            if (recount.add(counter[j].key, counter[j].hash, Items::equal) <
                0) {
                return c.fail(line::count);
            }
        }
        Py_buffer view;
        if (PyObject_GetBuffer(ls, &view, PyBUF_SIMPLE) < 0) {
            return c.fail(line::count);
        }
        Py_ssize_t length = view.len / static_cast<Py_ssize_t>(sizeof(Item));
        auto *items = static_cast<const Item *>(view.buf);
        int failed = 0;
        for (Py_ssize_t i = 0; i < length; i++) {
            Key key = Items::key(items[i]);
            if (!Items::valid(key)) {
                Py_XDECREF(Items::make_key(key));
                failed = 1;
                break;
            }
            if (recount.add(key, Items::hash(key, counter.size() + i),
                            Items::equal) < 0) {
                failed = 1;
                break;
            }
        }
        PyBuffer_Release(&view);
        if (failed) {
            return c.fail(line::count);
        }
    }
    PyObject *counts = dict_of_counts(
        counter.size(), 0,
        [&](Py_ssize_t j) { return Items::make_key(counter[j].key); },
        [&](Py_ssize_t j) -> Py_ssize_t {
            if (!Items::counted(counter[j].key)) {
                return 0;
            }
            return checked ? recount[j].count - 1 : counter[j].count;
        });
    return counts != nullptr ? counts : c.fail(line::count);
}

// An exact array.array, by typecode; false for one it does not know.
bool count_array(call &c, PyObject *ls, PyObject *&counts)
{
    Py_buffer view;
    if (PyObject_GetBuffer(ls, &view, PyBUF_FORMAT) < 0) {
        counts = c.fail(line::walk);
        return true;
    }
    char code = view.format != nullptr ? view.format[0] : '\0';
    Py_ssize_t itemsize = view.itemsize;
    PyBuffer_Release(&view);
    switch (code) {
    case 'b':
        counts = count_array_items<int_items<signed char>>(c, ls);
        break;
    case 'B':
        counts = count_array_items<int_items<unsigned char>>(c, ls);
        break;
    case 'h':
        counts = count_array_items<int_items<short>>(c, ls);
        break;
    case 'H':
        counts = count_array_items<int_items<unsigned short>>(c, ls);
        break;
    case 'i':
        counts = count_array_items<int_items<int>>(c, ls);
        break;
    case 'I':
        counts = count_array_items<int_items<unsigned int>>(c, ls);
        break;
    case 'l':
        counts = count_array_items<int_items<long>>(c, ls);
        break;
    case 'L':
        counts = count_array_items<int_items<unsigned long>>(c, ls);
        break;
    case 'q':
        counts = count_array_items<int_items<long long>>(c, ls);
        break;
    case 'Q':
        counts = count_array_items<int_items<unsigned long long>>(c, ls);
        break;
    case 'f':
        counts = count_array_items<float_items<float>>(c, ls);
        break;
    case 'd':
        counts = count_array_items<float_items<double>>(c, ls);
        break;
    case 'w':
        if (itemsize != sizeof(std::uint32_t)) {
            return false;
        }
        counts = count_array_items<code_items>(c, ls);
        break;
    default:
        return false;
    }
    return true;
}

// Exact builtin sequences whose elements, equality and `count` run no
// Python code, counted in one hashed pass. False when `ls` is none of them,
// or holds elements that need the general walk.
[[gnu::noinline]] bool count_builtin_sequence(call &c, PyObject *ls,
                                              PyObject *&counts)
{
    if (PyList_CheckExact(ls) || PyTuple_CheckExact(ls)) {
        return count_sequence(c, ls, counts);
    }
    if (PyByteArray_CheckExact(ls)) {
        counts = count_bytearray(c, ls);
        return true;
    }
    if (PyRange_Check(ls)) {
        counts = count_range(c, ls);
        return true;
    }
    if (is_extension_type(ls, "collections.deque", "_collections")) {
        return count_deque(c, ls, counts);
    }
    if (is_extension_type(ls, "array.array", "array")) {
        return count_array(c, ls, counts);
    }
    return false;
}

// Distinct elements by list containment, in first-occurrence order; then
// `ls.count` for each of them.
PyObject *elemcount(call &c) noexcept
{
    ref owned = c.own(0);
    PyObject *ls = owned.get();
    if (PyUnicode_CheckExact(ls) || PyBytes_CheckExact(ls)) {
        return count_fast(c, ls);
    }
    if (PyObject *counts; count_builtin_sequence(c, ls, counts)) {
        return counts;
    }
    ref vis = ref::steal(PyList_New(0));
    if (!vis) {
        return c.fail(line::vis);
    }
    frame::element_walk walk;
    if (walk.start(ls) < 0) {
        return c.fail(line::walk);
    }
    // Each step scans `vis`, and each `count` call may scan `ls` again in C:
    // the signal checks count that work.
    frame::signal_check signals;
    Py_ssize_t walked = 0;
    for (;; walked++) {
        ref l;
        int more = walk.next(l);
        if (more == 0) {
            break;
        }
        if (more < 0 || signals.step(PyList_GET_SIZE(vis.get())) < 0) {
            return c.fail(line::walk);
        }
        int seen = PySequence_Contains(vis.get(), l.get());
        if (seen < 0) {
            return c.fail(line::contains);
        }
        if (!seen && PyList_Append(vis.get(), l.get()) < 0) {
            return c.fail(line::append);
        }
    }
    ref counts = ref::steal(PyDict_New());
    if (!counts) {
        return c.fail(line::count);
    }
    // `vis` is private, but user code can reach it (through the collector's
    // referrers): each element is owned while `count` runs.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(vis.get()); i++) {
        ref v = ref::new_ref(PyList_GET_ITEM(vis.get(), i));
        if (signals.step(walked) < 0) {
            return c.fail(line::count);
        }
        ref n = ref::steal(
            PyObject_CallMethodOneArg(ls, string(s_count), v.get()));
        if (!n || PyDict_SetItem(counts.get(), v.get(), n.get()) < 0) {
            return c.fail(line::count);
        }
    }
    return counts.release();
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
