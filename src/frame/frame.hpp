// The module frame shared by every korvex extension module.
//
// Each extension module compiles this frame together with its own source
// file, which defines `frame::this_module`, a declarative registration
// table (identity, constant strings, imports, cached builtins, functions),
// and invokes KORVEX_MODULE_INIT once; the frame walks that table to create
// and execute the module and to bind and report every call.
//
// Protocol: every function that can fail returns NULL or -1 with an
// exception set, nothing else. C++ exceptions are never used.
//
// What callers see that looks odd, on purpose, and the test that pins it
// (test files under tests/):
//  * Each module reports itself as compiled from a notional Python source,
//    "src\korvex\list\count.cpp" in its code objects and with every
//    backslash doubled in its traceback entries; the entries' lines are the
//    lines of that source's statements (each module's `namespace line`).
//    test_frame.py::test_every_binding_failure_has_one_entry_at_the_def_line,
//    the body-failure tables of each module's test file.
//  * Binding messages keep an older wording ("takes exactly 2 positional
//    arguments (1 given)"), not CPython 3.13's for a def.
//    test_frame.py::test_binding_failures.
//  * Functions carry the old `func_*` aliases of their attributes.
//    test_frame.py::test_aliases_read_the_same_object and
//    ::test_aliases_write_the_same_slot.
//  * Every module ends with an empty `__test__` dict.
//    test_frame.py::test_module_namespace.
//  * `__defaults__` of read and read_split is built on first read, and the
//    same constant ("") is shared between them; a call uses the defaults
//    captured at exec, never the attribute.
//    test_read.py::test_defaults_tuple,
//    ::test_empty_prompt_default_is_one_shared_constant,
//    ::test_assigned_defaults_change_only_the_attribute.
//  * read_split's default function is named "lambda1" (read's is
//    "lambda"), as the second lambda of the notional source.
//    test_read.py::test_function_attributes.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "ref.hpp"

namespace frame {

// Index of a row in the module's constant-string table.
using string_index = std::uint8_t;

inline constexpr std::size_t max_strings = 32;
inline constexpr std::size_t max_functions = 4;
inline constexpr std::size_t max_params = 4;
inline constexpr std::size_t max_cached_builtins = 2;

struct string_row {
    string_index index;  // the row's own position, checked at compile time
    const char *text;
    bool interned;
};

struct call;
using body_fn = PyObject *(*)(call &) noexcept;

enum class defaults_kind : std::uint8_t {
    none,
    // One constant tuple made at exec; functions whose default rows are the
    // same array share the same tuple object.
    constant_tuple,
    // A storage of one default object made at exec, and a builder that makes
    // the `__defaults__` tuple on first read.
    builder,
};

// A default captured at exec: a constant string, or the object held in the
// function's default storage. Written through the two factories.
struct default_value {
    bool from_storage;    // the object in the function's default storage
    string_index string;  // the constant string; unused from storage

    static constexpr default_value constant(string_index string)
    {
        return {.from_storage = false, .string = string};
    }
    static constexpr default_value in_storage()
    {
        return {.from_storage = true, .string = 0};
    }
};

struct function_spec {
    // Method name: binding messages, traceback entry names, `__name__`.
    const char *name;
    // Interned name: namespace key and the code object's name.
    string_index name_string;
    string_index qualname;
    std::span<const string_index> params;
    std::uint8_t required;
    bool varargs = false;
    bool varkw = false;
    // Local names of the code object; empty means no code object. Functions
    // whose rows are the same array share one tuple.
    std::span<const string_index> locals = {};
    int def_line;
    body_fn body;
    // Whether the body can run user code (calls, iteration, comparisons,
    // look-ups). Such a body gets its arguments owned by the call, and only
    // it can take part in a cycle of calls, so only it pays for the
    // recursion guard.
    bool runs_user_code = true;
    defaults_kind defaults = defaults_kind::none;
    // One row per optional parameter, in parameter order.
    std::span<const default_value> default_values = {};
    // The function made at exec into this function's default storage.
    const function_spec *default_function = nullptr;
};

struct import_spec {
    string_index name;   // dotted module name, imported absolutely
    string_index binds;  // namespace key of the top-level package
    int line;
    // Added as a note to the ModuleNotFoundError for `name` or one of its
    // packages: how to get the module. May be NULL.
    const char *missing_note = nullptr;
};

// A module's identity, written once as its full dotted name; the source
// path follows from it, in the two forms the module reports.
struct module_identity {
    static constexpr std::size_t max_name = 64;

    char full_name[max_name];
    // The code-object form, "src\korvex\list\count.cpp".
    char source_path[max_name + 8];
    // The traceback form, with every backslash doubled.
    char traceback_file[2 * (max_name + 8)];
    // The last name component: the module definition's name.
    std::size_t short_name;

    template <std::size_t N>
    consteval module_identity(const char (&name)[N])
        : full_name{}, source_path{}, traceback_file{}, short_name(0)
    {
        static_assert(N <= max_name, "module name too long");
        constexpr char prefix[] = "src\\";
        constexpr char suffix[] = ".cpp";
        std::size_t path = 0;
        std::size_t doubled = 0;
        auto put = [&](char ch) {
            source_path[path++] = ch;
            traceback_file[doubled++] = ch;
            if (ch == '\\') {
                traceback_file[doubled++] = ch;
            }
        };
        for (char ch : std::string_view(prefix)) {
            put(ch);
        }
        for (std::size_t i = 0; i + 1 < N; i++) {
            full_name[i] = name[i];
            if (name[i] == '.') {
                short_name = i + 1;
            }
            put(name[i] == '.' ? '\\' : name[i]);
        }
        for (char ch : std::string_view(suffix)) {
            put(ch);
        }
    }
};

struct module_spec {
    module_identity identity;
    std::span<const string_row> strings;
    std::span<const function_spec> functions;
    std::span<const import_spec> imports = {};
    std::span<const string_index> cached_builtins = {};
};

// Defined by each extension module's source file.
extern const module_spec this_module;

// --- compile-time checks of a module's table -------------------------------

// Not constexpr: reached during constant evaluation, it stops the build with
// the reason in the compiler's message.
void table_error(const char *reason);

// The position of `name` in `list`: where a body finds a cached builtin.
consteval std::size_t position_of(std::span<const string_index> list,
                                  string_index name)
{
    for (std::size_t i = 0; i < list.size(); i++) {
        if (list[i] == name) {
            return i;
        }
    }
    table_error("name not in the list");
    return 0;
}

consteval bool check_strings(std::span<const string_index> indices,
                             std::size_t strings)
{
    for (string_index index : indices) {
        if (index >= strings) {
            table_error("string index outside the string table");
        }
    }
    return true;
}

consteval bool check_function(const function_spec &f, std::size_t strings)
{
    if (f.params.size() > max_params) {
        table_error("more parameters than max_params");
    }
    if (f.required > f.params.size()) {
        table_error("more required parameters than parameters");
    }
    if (f.default_values.size() != f.params.size() - f.required) {
        table_error("not one default row per optional parameter");
    }
    if ((f.defaults == defaults_kind::none) != f.default_values.empty()) {
        table_error("default rows without a defaults kind, or the reverse");
    }
    for (const default_value &value : f.default_values) {
        if (value.from_storage ? f.default_function == nullptr
                               : value.string >= strings) {
            table_error("default row stands for nothing");
        }
    }
    if ((f.varargs || f.varkw) && !f.runs_user_code) {
        // Only the path for bodies that call out releases the containers.
        table_error("*args or **kwargs in a function that does not call out");
    }
    if (f.def_line <= 0 || f.body == nullptr) {
        table_error("function without a def line or a body");
    }
    string_index names[] = {f.name_string, f.qualname};
    return check_strings(names, strings) && check_strings(f.params, strings) &&
           check_strings(f.locals, strings) &&
           (f.default_function == nullptr ||
            check_function(*f.default_function, strings));
}

// Whether a module's table fits the frame's fixed arrays and is well formed.
// KORVEX_MODULE_INIT asserts it, so a malformed row fails the build instead
// of corrupting memory at run time.
consteval bool valid_table(const module_spec &m)
{
    std::size_t strings = m.strings.size();
    if (strings > max_strings || m.functions.size() > max_functions ||
        m.cached_builtins.size() > max_cached_builtins) {
        table_error("table larger than the frame's limits");
    }
    for (std::size_t i = 0; i < strings; i++) {
        if (m.strings[i].index != i) {
            table_error("string row not at its own index");
        }
    }
    for (const function_spec &f : m.functions) {
        check_function(f, strings);
    }
    for (const import_spec &import : m.imports) {
        string_index names[] = {import.name, import.binds};
        check_strings(names, strings);
        if (import.line <= 0) {
            table_error("import without a line");
        }
    }
    return check_strings(m.cached_builtins, strings);
}

// Per-process state of one extension module. It is never torn down.
struct process_state {
    std::int64_t interpreter = -1;
    PyObject *module;
    PyObject *globals;
    PyObject *builtins;
    PyObject *function_type;
    PyObject *empty_tuple;
    PyObject *empty_bytes;
    PyObject *full_name;    // interned
    PyObject *source_path;  // the code-object form
    PyObject *test_name;    // "__test__"
    PyObject *strings[max_strings];
    PyObject *local_names[max_functions];
    PyObject *code[max_functions];
    PyObject *constant_defaults[max_functions];
    PyObject *cached_builtins[max_cached_builtins];
};

extern process_state state;

inline PyObject *constant(string_index index) { return state.strings[index]; }
inline const char *module_full_name()
{
    return this_module.identity.full_name;
}

// --- function objects -------------------------------------------------------

struct function_object {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const function_spec *spec;
    // The number of parameters: for a function whose vectorcall is the
    // plain one, a call that gives them all by position and no keywords
    // goes straight to the body.
    Py_ssize_t param_count;
    PyObject *qualname;
    PyObject *module;
    PyObject *globals;
    PyObject *code;
    PyObject *defaults;         // what `__defaults__` reads; NULL reads None
    PyObject *kwdefaults;       // what `__kwdefaults__` reads; NULL reads None
    PyObject *default_storage;  // one default object, or NULL
    PyObject *name;
    PyObject *doc;
    PyObject *dict;
    PyObject *annotations;
    PyObject *weakrefs;
    bool defaults_built;
};

// The object a default row stands for; `storage` is the function's default
// storage (NULL for functions without one). Borrowed.
inline PyObject *default_object(const default_value &value, PyObject *storage)
{
    return value.from_storage ? storage : constant(value.string);
}
// A new tuple of the objects the rows stand for.
PyObject *defaults_tuple(std::span<const default_value> values,
                         PyObject *storage);

int ready_function_type();
// A new function object for `spec`; `code` may be NULL.
PyObject *new_function(const function_spec &spec, PyObject *code);

// --- calls ------------------------------------------------------------------

// One call of a function object: its bound arguments, and the statement
// its body is in.
//
// Ownership. Wherever user code can run during the call, the call owns its
// function, for that code may drop every other reference (a
// `functools.partial` whose state is replaced, for one). A body that may
// run user code (`function_spec::runs_user_code`) finds every bound argument
// in `slots` owned by the call for its whole run; a body that runs none gets
// them borrowed from the caller or the defaults. The `*args` tuple and the
// `**kwargs` dict are the call's own.
//
// Failures. A body names the statement it is in with `at` and returns NULL
// with an exception set when that statement fails; the frame then adds the
// call's one traceback entry, at the line of that statement. Nothing else
// adds one.
//
// The call has no destructor, so the plain positional path (see
// `function.cpp`) pays for nothing it does not use; the calls that bind
// release what they own after the body.
struct call {
    explicit call(function_object *f) : function(f) {}

    function_object *function;
    PyObject *slots[max_params];
    // The `*args` tuple and the `**kwargs` dict: made by the binding for a
    // function that has them and released after its body; left unset for
    // the others.
    PyObject *args;
    PyObject *kwargs;
    // The line of the statement the body is in; 0 stands for the def line,
    // until the body says.
    int line = 0;

    PyObject *operator[](std::size_t i) const { return slots[i]; }
    // The `*args` values.
    PyObject *const *varargs() const
    {
        return reinterpret_cast<PyTupleObject *>(args)->ob_item;
    }
    Py_ssize_t varargs_count() const { return PyTuple_GET_SIZE(args); }
    PyObject *globals() const { return function->globals; }
    void at(int statement) { line = statement; }
    // Adds this call's traceback entry, at `line`. Out of line: its buffers
    // stay off the stack of the bodies, which recursion through user code
    // stacks up.
    [[gnu::cold, gnu::noinline]] void add_entry() const;
};

// What the binding of one call reads: the caller's values (the positional
// ones, then one per keyword name, as vectorcall lays them out); and, once
// the binding is about to run user code, a tuple of all the values that
// the call owns, which `values` then points into, with the names and the
// function as its last items.
struct binding {
    binding(PyObject *const *values, Py_ssize_t nargs, PyObject *kwnames)
        : values(values), nargs(nargs), kwnames(kwnames)
    {
    }

    PyObject *const *values;
    Py_ssize_t nargs;
    PyObject *kwnames;  // NULL without keywords
    ref owned_values;

    PyObject *keyword_value(Py_ssize_t i) const { return values[nargs + i]; }
};

// The binding rule. Returns 0, or -1 with an exception set. A failure adds
// this function's entry at its def line, except a failure to make the `*args`
// and `**kwargs` containers, which adds none. `b` must outlive the body:
// the call's arguments may be what it owns.
int bind_arguments(call &c, binding &b);
// Releases the `*args` tuple and the `**kwargs` dict of a bound call.
void release_containers(const call &c);

// --- traceback entries ------------------------------------------------------

// Adds one entry to the pending exception's traceback. Must be called with an
// exception set; leaves it set, unless the entry itself cannot be made: then
// the error that stopped it is raised instead, with the pending exception as
// its context (a MemoryError without). `globals` become the entry frame's
// globals.
void add_traceback_entry(const char *name, int line, PyObject *globals);
// The same, named "<module full name>.<name>".
void add_function_entry(const char *name, int line, PyObject *globals);
// With an exception set that was raised while `reported` was being
// reported, makes `reported` its context, as the interpreter chains an
// exception raised while another is handled. Steals `reported`.
void chain_to_current(PyObject *reported);

// --- small protocol helpers -------------------------------------------------

// Pending events, checked every few thousand steps of a loop that may run
// long without running Python code: a signal (so that Ctrl-C stops the
// loop), a collection the collector has scheduled, and another thread
// waiting for the interpreter lock, which is let run as the interpreter's
// own loop would let it. A step may stand for more work than one (a scan of
// a list, say).
//
// A check first reads the thread state's event bits: with nothing pending it
// costs that one load and runs nothing. Otherwise it runs what is pending,
// which can be any Python code (signal handlers, finalizers run by the
// collector, other threads): what a loop uses after a check must be owned,
// and `ran` tells whether code may have run at any check so far.
class signal_check {
  public:
    // A check every `interval` units of work.
    explicit signal_check(Py_ssize_t interval = 4096)
        : interval_(interval), countdown_(interval)
    {
    }

    // Counts `work`; true when a check is due, which `check` then makes.
    bool count(Py_ssize_t work)
    {
        countdown_ -= work;
        return countdown_ <= 0;
    }
    // 0, or -1 with the exception of a signal handler or a pending call.
    int check()
    {
        countdown_ = interval_;
        if (!events_pending()) [[likely]] {
            return 0;
        }
        ran_ = true;
        return run_pending_events();
    }
    int step(Py_ssize_t work = 1) { return count(work) ? check() : 0; }
    // Whether a check found anything pending, so that code may have run.
    bool ran() const { return ran_; }

  private:
    // The event bits of the thread state's eval_breaker (its low byte; the
    // bits above hold the instrumentation version), as
    // internal/pycore_ceval.h of CPython 3.13 lays them out: a request to
    // drop the lock, pending signals, pending calls, an asynchronous
    // exception, a scheduled collection and others.
    static constexpr std::uintptr_t event_bits = 0xff;

    static bool events_pending()
    {
        return (__atomic_load_n(&PyThreadState_Get()->eval_breaker,
                                __ATOMIC_RELAXED) &
                event_bits) != 0;
    }
    [[gnu::cold, gnu::noinline]] static int run_pending_events();

    Py_ssize_t interval_;
    Py_ssize_t countdown_;
    bool ran_ = false;
};

// The next item of `iterator` into `item`: 1, 0 at the end (StopIteration
// included), or -1 with the iterator's error.
int next_item(PyObject *iterator, ref &item);

// The elements of an object, as a `for` loop gets them. An exact list or
// tuple is walked by position, its length read again before every step,
// which yields what its iterator would; anything else through `iter()`.
// Pending signals are checked as the walk goes.
class element_walk {
  public:
    // Returns 0, or -1 with the error of `iter()`.
    int start(PyObject *iterable);
    // The next element into `item`, after `work` units towards the next
    // signal check: 1, 0 at the end (StopIteration included), or -1 with
    // the iterator's error or a signal handler's.
    int next(ref &item, Py_ssize_t work = 1)
    {
        if (signals_.step(work) < 0) {
            return -1;
        }
        if (!sequence_) {
            return next_item(iterator_.get(), item);
        }
        PyObject *sequence = sequence_.get();
        if (index_ >= PySequence_Fast_GET_SIZE(sequence)) {
            return 0;
        }
        item = ref::new_ref(PySequence_Fast_GET_ITEM(sequence, index_++));
        return 1;
    }
    // The elements from the next one on, borrowed, when the walk goes by
    // position; else none.
    std::span<PyObject *const> upcoming() const
    {
        PyObject *sequence = sequence_.get();
        Py_ssize_t size = sequence ? PySequence_Fast_GET_SIZE(sequence) : 0;
        if (index_ >= size) {
            return {};
        }
        return {PySequence_Fast_ITEMS(sequence) + index_,
                static_cast<std::size_t>(size - index_)};
    }
    signal_check &signals() { return signals_; }

  private:
    ref sequence_;
    Py_ssize_t index_ = 0;
    ref iterator_;
    signal_check signals_;
};

// A new tuple of new references to each of `items`, mapped through `item`
// (the item itself by default); an empty `ref` when it cannot be made.
template <typename Items, typename Item>
ref tuple_of(const Items &items, Item item)
{
    auto count = static_cast<Py_ssize_t>(std::size(items));
    ref tuple = ref::steal(PyTuple_New(count));
    if (tuple) {
        for (Py_ssize_t i = 0; i < count; i++) {
            PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(item(items[i])));
        }
    }
    return tuple;
}
template <typename Items>
ref tuple_of(const Items &items)
{
    return tuple_of(items, [](PyObject *object) { return object; });
}
// Looks a module-level name up in `globals`, then in builtins.
PyObject *lookup_global(PyObject *globals, PyObject *name);
// Unpacks one value into two targets, as `k, v = item` does.
int unpack_two(PyObject *item, ref &first, ref &second);
// `obj.name()`.
PyObject *call_method_noargs(PyObject *obj, PyObject *name);
// AttributeError "'<type>' object has no attribute '<name>'", with `name`
// and `obj` set as the interpreter sets them. Returns NULL.
PyObject *no_attribute(PyObject *obj, PyObject *name);
// What the generic call makes of a callable that returned NULL without an
// exception, or a value with one: SystemError. Returns NULL.
[[gnu::cold, gnu::noinline]] PyObject *bad_result(PyObject *callable,
                                                  PyObject *result);
// The generic call of a callable without vectorcall: its `tp_call` with a
// tuple and a dict of its own, under the recursion guard.
[[gnu::noinline]] PyObject *classic_call(PyObject *callable,
                                         PyObject *const *args,
                                         std::size_t nargsf,
                                         PyObject *kwnames);
// Appends `value` to the list and takes over the reference to it; into the
// room a list already has without a call. Returns 0, or -1 with an error.
inline int append_stolen(PyObject *list, PyObject *value)
{
    auto *items = reinterpret_cast<PyListObject *>(list);
    Py_ssize_t size = Py_SIZE(items);
    if (size < items->allocated) [[likely]] {
        items->ob_item[size] = value;
        Py_SET_SIZE(items, size + 1);
        return 0;
    }
    int appended = PyList_Append(list, value);
    Py_DECREF(value);
    return appended;
}
// The generic call `callable(*args, **kwargs)` as `PyObject_Call` makes it:
// through vectorcall where the callable has it, else its `tp_call` under
// the recursion guard; a failing callable must have set an exception. A
// `tp_call` callee gets a dict of its own, empty when there are no
// keywords. The arguments are laid out as for vectorcall.
inline PyObject *generic_vectorcall(PyObject *callable, PyObject *const *args,
                                    std::size_t nargsf, PyObject *kwnames)
{
    vectorcallfunc vectorcall = PyVectorcall_Function(callable);
    if (vectorcall == nullptr) [[unlikely]] {
        return classic_call(callable, args, nargsf, kwnames);
    }
    PyObject *result = vectorcall(callable, args, nargsf, kwnames);
    if (result == nullptr || PyErr_Occurred()) [[unlikely]] {
        return bad_result(callable, result);
    }
    return result;
}

}  // namespace frame

// Defines the one exported symbol of an extension module.
#define KORVEX_MODULE_INIT(short_name)                     \
    static_assert(frame::valid_table(frame::this_module)); \
    PyMODINIT_FUNC PyInit_##short_name(void) { return frame::module_init(); }

namespace frame {
PyObject *module_init();
}
