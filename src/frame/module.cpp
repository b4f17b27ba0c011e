// Module definition, create and exec.
//
// All state is per process (one extension module, one interpreter): create
// hands every import the one executed module, and exec runs the module's
// statements once. A failed exec drops what it made, so a later import
// starts again from create.
#include "frame.hpp"

#ifndef KORVEX_BUILT_FOR_MAJOR
#define KORVEX_BUILT_FOR_MAJOR PY_MAJOR_VERSION
#endif
#ifndef KORVEX_BUILT_FOR_MINOR
#define KORVEX_BUILT_FOR_MINOR PY_MINOR_VERSION
#endif

namespace frame {

process_state state;

namespace {

// --- create -----------------------------------------------------------------

int check_interpreter()
{
    std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (state.interpreter == -1) {
        if (id == -1) {
            return -1;
        }
        state.interpreter = id;
        return 0;
    }
    if (id != state.interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only "
                        "be loaded into one interpreter per process.");
        return -1;
    }
    return 0;
}

// Copies one spec attribute into the module dict; a missing one is skipped.
int copy_spec_attribute(PyObject *spec, const char *from, PyObject *dict,
                        const char *to, bool none_allowed)
{
    PyObject *value;
    int found = PyObject_GetOptionalAttrString(spec, from, &value);
    if (found <= 0) {
        return found;
    }
    ref owned = ref::steal(value);
    if (value == Py_None && !none_allowed) {
        return 0;
    }
    return PyDict_SetItemString(dict, to, value);
}

PyObject *create_module(PyObject *spec, PyModuleDef *)
{
    if (check_interpreter() < 0) {
        return nullptr;
    }
    if (state.module != nullptr) {
        return Py_NewRef(state.module);
    }
    ref name = ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) {
        return nullptr;
    }
    ref module = ref::steal(PyModule_NewObject(name.get()));
    if (!module) {
        return nullptr;
    }
    PyObject *dict = PyModule_GetDict(module.get());
    if (copy_spec_attribute(spec, "loader", dict, "__loader__", true) < 0 ||
        copy_spec_attribute(spec, "origin", dict, "__file__", true) < 0 ||
        copy_spec_attribute(spec, "parent", dict, "__package__", true) < 0 ||
        copy_spec_attribute(spec, "submodule_search_locations", dict,
                            "__path__", false) < 0) {
        return nullptr;
    }
    return module.release();
}

// --- exec steps -------------------------------------------------------------

int check_runtime_version()
{
    int major = static_cast<int>((Py_Version >> 24) & 0xff);
    int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major == KORVEX_BUILT_FOR_MAJOR && minor == KORVEX_BUILT_FOR_MINOR) {
        return 0;
    }
    char message[200];
    PyOS_snprintf(message, sizeof(message),
                  "compile time Python version %d.%d of module '%.100s' %s "
                  "runtime version %d.%d",
                  KORVEX_BUILT_FOR_MAJOR, KORVEX_BUILT_FOR_MINOR,
                  module_full_name(), "does not match", major, minor);
    return PyErr_WarnEx(nullptr, message, 1);
}

// Stores a new object into a state slot, releasing what an earlier, failed
// exec left there.
int store_in_state(PyObject *&slot, PyObject *value)
{
    Py_XSETREF(slot, value);
    return value != nullptr ? 0 : -1;
}

int make_empty_objects()
{
    if (store_in_state(state.empty_tuple, PyTuple_New(0)) < 0 ||
        store_in_state(state.empty_bytes,
                       PyBytes_FromStringAndSize(nullptr, 0)) < 0) {
        return -1;
    }
    return 0;
}

const char *module_short_name()
{
    return this_module.identity.full_name + this_module.identity.short_name;
}

// The module's constant strings: its identity and `__test__`, then the rows
// of its table.
int make_strings()
{
    if (store_in_state(
            state.full_name,
            PyUnicode_InternFromString(this_module.identity.full_name)) < 0 ||
        store_in_state(
            state.source_path,
            PyUnicode_FromString(this_module.identity.source_path)) < 0 ||
        store_in_state(state.test_name,
                       PyUnicode_InternFromString("__test__")) < 0) {
        return -1;
    }
    std::size_t index = 0;
    for (const string_row &row : this_module.strings) {
        PyObject *text = row.interned ? PyUnicode_InternFromString(row.text)
                                      : PyUnicode_FromString(row.text);
        if (store_in_state(state.strings[index++], text) < 0 ||
            PyObject_Hash(text) == -1) {
            return -1;
        }
    }
    return 0;
}

// `sys.modules`, read from the sys module. PySys_GetObject would do, but
// when its own look-up fails (it makes a string for the name) it prints the
// error and drops it, and a MemoryError would turn into "lost sys.modules".
ref sys_modules()
{
    ref name = ref::steal(PyUnicode_FromString("sys"));
    if (!name) {
        return ref();
    }
    ref sys = ref::steal(PyImport_GetModule(name.get()));
    PyObject *modules = nullptr;
    if (sys &&
        PyObject_GetOptionalAttrString(sys.get(), "modules", &modules) < 0) {
        return ref();
    }
    if (modules == nullptr && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_RuntimeError, "lost sys.modules");
    }
    return ref::steal(modules);
}

// Puts the module into `sys.modules` under its full name when that key is
// free. Returns 1 when it did, 0 when the key was taken, -1 on error.
int register_in_sys_modules()
{
    ref owned = sys_modules();
    if (!owned) {
        return -1;
    }
    PyObject *modules = owned.get();
    PyObject *key = state.full_name;
    int present = PyMapping_HasKeyWithError(modules, key);
    if (present != 0) {
        return present < 0 ? -1 : 0;
    }
    return PyObject_SetItem(modules, key, state.module) < 0 ? -1 : 1;
}

// Takes back the entry that a failed exec registered, if it still holds
// `module`. The exception being reported stays current; an error of the
// undo itself goes to sys.unraisablehook.
void unregister_from_sys_modules(PyObject *module)
{
    PyObject *reported = PyErr_GetRaisedException();
    ref modules = sys_modules();
    PyObject *key = state.full_name;
    ref entry;
    if (modules) {
        entry = ref::steal(PyObject_GetItem(modules.get(), key));
        if (!entry && PyErr_ExceptionMatches(PyExc_KeyError)) {
            PyErr_Clear();
        }
    }
    if (entry.get() == module && PyObject_DelItem(modules.get(), key) == 0) {
        entry.reset();
    }
    if (PyErr_Occurred()) {
        PyErr_WriteUnraisable(key);
    }
    PyErr_SetRaisedException(reported);
}

int cache_builtins()
{
    std::size_t index = 0;
    for (string_index name : this_module.cached_builtins) {
        PyObject *value;
        int found =
            PyObject_GetOptionalAttr(state.builtins, constant(name), &value);
        if (found == 0) {
            PyErr_Format(PyExc_NameError, "name '%U' is not defined",
                         constant(name));
        }
        if (found <= 0) {
            return -1;
        }
        Py_XSETREF(state.cached_builtins[index++], value);
    }
    return 0;
}

PyObject *make_name_tuple(std::span<const string_index> names)
{
    return tuple_of(names, constant).release();
}

// Index of the first earlier function whose rows share `rows` (the same
// array), or `upto` when none does.
template <typename Member>
std::size_t first_sharing(std::size_t upto, Member member)
{
    const auto &functions = this_module.functions;
    for (std::size_t i = 0; i < upto; i++) {
        if ((functions[i].*member).data() ==
            (functions[upto].*member).data()) {
            return i;
        }
    }
    return upto;
}

PyObject *make_code(const function_spec &spec, PyObject *local_names)
{
    int flags = CO_OPTIMIZED | CO_NEWLOCALS;
    if (spec.varargs) {
        flags |= CO_VARARGS;
    }
    if (spec.varkw) {
        flags |= CO_VARKEYWORDS;
    }
    PyObject *name = constant(spec.name_string);
    return reinterpret_cast<PyObject *>(PyUnstable_Code_NewWithPosOnlyArgs(
        static_cast<int>(spec.params.size()), 0, 0,
        static_cast<int>(spec.locals.size()), 0, flags, state.empty_bytes,
        state.empty_tuple, state.empty_tuple, local_names, state.empty_tuple,
        state.empty_tuple, state.source_path, name, name, spec.def_line,
        state.empty_bytes, state.empty_bytes));
}

// The local-name tuples, the constant defaults tuples and the code objects,
// in the order of the module's functions.
int make_constants()
{
    const auto &functions = this_module.functions;
    for (std::size_t i = 0; i < functions.size(); i++) {
        const function_spec &spec = functions[i];
        PyObject *names = nullptr;
        if (!spec.locals.empty()) {
            std::size_t shared = first_sharing(i, &function_spec::locals);
            names = shared < i ? Py_NewRef(state.local_names[shared])
                               : make_name_tuple(spec.locals);
            if (store_in_state(state.local_names[i], names) < 0) {
                return -1;
            }
        }
        if (spec.defaults == defaults_kind::constant_tuple) {
            std::size_t shared =
                first_sharing(i, &function_spec::default_values);
            PyObject *defaults =
                shared < i ? Py_NewRef(state.constant_defaults[shared])
                           : defaults_tuple(spec.default_values, nullptr);
            if (store_in_state(state.constant_defaults[i], defaults) < 0) {
                return -1;
            }
        }
        if (names != nullptr &&
            store_in_state(state.code[i], make_code(spec, names)) < 0) {
            return -1;
        }
    }
    return 0;
}

// Whether the ModuleNotFoundError `exc` is about `import.name` itself or one
// of its packages, rather than something that module imports in turn.
bool about_import(PyObject *exc, const import_spec &import)
{
    if (!PyErr_GivenExceptionMatches(exc, PyExc_ModuleNotFoundError)) {
        return false;
    }
    PyObject *missing = reinterpret_cast<PyImportErrorObject *>(exc)->name;
    if (missing == nullptr || !PyUnicode_Check(missing)) {
        return false;
    }
    PyObject *wanted = constant(import.name);
    Py_ssize_t length = PyUnicode_GET_LENGTH(missing);
    if (length > PyUnicode_GET_LENGTH(wanted) ||
        PyUnicode_Tailmatch(wanted, missing, 0, length, -1) != 1) {
        return false;
    }
    return length == PyUnicode_GET_LENGTH(wanted) ||
           PyUnicode_READ_CHAR(wanted, length) == '.';
}

// Tells, on the pending ModuleNotFoundError of `import`, how to get the
// missing module.
void add_missing_note(const import_spec &import)
{
    PyObject *exc = PyErr_GetRaisedException();
    if (!about_import(exc, import)) {
        PyErr_SetRaisedException(exc);
        return;
    }
    ref added = ref::steal(
        PyObject_CallMethod(exc, "add_note", "s", import.missing_note));
    if (!added) {
        chain_to_current(exc);
        return;
    }
    PyErr_SetRaisedException(exc);
}

// `import a.b` at module level: binds the top-level package.
int run_import(const import_spec &import)
{
    ref locals = ref::steal(PyDict_New());
    if (!locals) {
        return -1;
    }
    ref package = ref::steal(PyImport_ImportModuleLevelObject(
        constant(import.name), state.globals, locals.get(), nullptr, 0));
    if (!package) {
        if (import.missing_note != nullptr) {
            add_missing_note(import);
        }
        return -1;
    }
    return PyDict_SetItem(state.globals, constant(import.binds),
                          package.get());
}

int define_function(std::size_t index)
{
    const function_spec &spec = this_module.functions[index];
    ref function = ref::steal(new_function(spec, state.code[index]));
    if (!function) {
        return -1;
    }
    auto *f = reinterpret_cast<function_object *>(function.get());
    if (spec.defaults == defaults_kind::constant_tuple) {
        f->defaults = Py_NewRef(state.constant_defaults[index]);
    }
    else if (spec.default_function != nullptr) {
        f->default_storage = new_function(*spec.default_function, nullptr);
        if (f->default_storage == nullptr) {
            return -1;
        }
    }
    return PyDict_SetItem(state.globals, constant(spec.name_string),
                          function.get());
}

int store_test_dict()
{
    ref test = ref::steal(PyDict_New());
    if (!test) {
        return -1;
    }
    return PyDict_SetItem(state.globals, state.test_name, test.get());
}

// The exec steps that report a failure with the init entry, which names
// the line of the statement being run.
int run_statements(int &line, bool &registered)
{
    line = 1;
    int added = register_in_sys_modules();
    registered = added > 0;
    if (added < 0 || cache_builtins() < 0 || ready_function_type() < 0 ||
        make_constants() < 0) {
        return -1;
    }
    for (const import_spec &import : this_module.imports) {
        line = import.line;
        if (run_import(import) < 0) {
            return -1;
        }
    }
    for (std::size_t i = 0; i < this_module.functions.size(); i++) {
        line = this_module.functions[i].def_line;
        if (define_function(i) < 0) {
            return -1;
        }
    }
    line = 1;
    return store_test_dict();
}

void drop_current_module()
{
    Py_CLEAR(state.module);
    Py_CLEAR(state.globals);
}

int exec_module(PyObject *module)
{
    if (state.module != nullptr) {
        if (state.module == module) {
            return 0;
        }
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. "
                     "Re-initialisation is not supported.",
                     module_short_name());
        return -1;
    }
    state.module = Py_NewRef(module);
    state.globals = Py_NewRef(PyModule_GetDict(module));
    if (store_in_state(state.builtins, PyImport_AddModuleRef("builtins")) <
            0 ||
        PyObject_SetAttrString(module, "__builtins__", state.builtins) < 0 ||
        check_runtime_version() < 0 || make_empty_objects() < 0 ||
        make_strings() < 0) {
        drop_current_module();
        return -1;
    }
    int line;
    bool registered = false;
    if (run_statements(line, registered) < 0) {
        char entry[128];
        PyOS_snprintf(entry, sizeof(entry), "init %s", module_full_name());
        add_traceback_entry(entry, line, state.globals);
        // Dropped first, so that an import run by the undo starts afresh.
        drop_current_module();
        if (registered) {
            unregister_from_sys_modules(module);
        }
        return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(create_module)},
    {Py_mod_exec, reinterpret_cast<void *>(exec_module)},
    {0, nullptr},
};

PyModuleDef definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = nullptr,
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyObject *module_init()
{
    definition.m_name = module_short_name();
    return PyModuleDef_Init(&definition);
}

}  // namespace frame
