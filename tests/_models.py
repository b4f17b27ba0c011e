"""Pure-Python models of what korvex does: the binding rule and the body of
every function, written from the documented behaviour. The fuzz and
re-entrancy tests compare the real functions with them."""

import builtins


class Bound:
    """A successful binding: the named slots, *args and **kwargs."""

    def __init__(self, slots, args, kwargs):
        self.slots = slots
        self.args = args
        self.kwargs = kwargs


class Signature:
    def __init__(self, name, params, required, varargs=False, varkw=False,
                 defaults=()):
        self.name = name
        self.params = params
        self.required = required
        self.varargs = varargs
        self.varkw = varkw
        self.defaults = defaults

    def count_error(self, given):
        params = len(self.params)
        if not self.varargs and self.required == params:
            word, number = "exactly", params
        elif given < self.required:
            word, number = "at least", self.required
        else:
            word, number = "at most", params
        ending = "" if number == 1 else "s"
        return TypeError(f"{self.name[:200]}() takes {word} {number} "
                         f"positional argument{ending} ({given} given)")

    def bind(self, args, keywords):
        """`keywords` is None (no keyword part) or a list of (name, value)
        in call order. Returns a Bound, or raises what the binding
        raises."""
        params = len(self.params)
        kwargs = {} if self.varkw else None
        extra = tuple(args[params:]) if self.varargs else None
        slots = [None] * params
        for i in range(self.required, params):
            slots[i] = self.defaults[i - self.required]
        n = len(args)
        if keywords is None:
            if n < self.required or (n > params and not self.varargs):
                raise self.count_error(n)
            slots[:min(n, params)] = args[:min(n, params)]
            return Bound(slots, extra, kwargs)
        if n > params and not self.varargs:
            raise self.count_error(n)
        bound = min(n, params)
        slots[:bound] = args[:bound]
        remaining = len(keywords)
        for i in range(bound, params):
            required = i < self.required
            if not required and remaining == 0:
                continue
            pos = find_keyword(keywords, self.params[i])
            if pos is None:
                if required:
                    raise self.count_error(i)
                continue
            slots[i] = keywords[pos][1]
            remaining -= 1
        # A name that compares equal to several parameters binds each of
        # them and is counted each time.
        if remaining <= 0:
            return Bound(slots, extra, kwargs)
        for key, value in keywords:
            match = None
            if not isinstance(key, str):
                raise TypeError(f"{self.name[:200]}() keywords must be "
                                "strings")
            for i in range(bound, params):
                if same_characters(key, self.params[i]):
                    match = i
                    break
            if match is not None:
                slots[match] = value
                continue
            if any(same_characters(key, p) for p in self.params[:bound]):
                raise TypeError(f"{self.name}() got multiple values for "
                                f"keyword argument '{str.__str__(key)}'")
            if not self.varkw:
                raise TypeError(f"{self.name}() got an unexpected keyword "
                                f"argument '{str.__str__(key)}'")
            kwargs[key] = value
        return Bound(slots, extra, kwargs)


def same_characters(key, name):
    """The characters of a str (or subclass), compared without running
    any __eq__ of a subclass."""
    return isinstance(key, str) and str.__eq__(key, name) is True


def find_keyword(keywords, name):
    """Identity first, then equality: an exact str by its characters,
    anything else with == (whose exception propagates)."""
    for pos, (key, _) in enumerate(keywords):
        if key is name:
            return pos
    for pos, (key, _) in enumerate(keywords):
        if type(key) is str:
            if key == name:
                return pos
        elif key == name:
            return pos
    return None


# --- bodies -------------------------------------------------------------------

def elemcount(ls):
    # korvex walks an exact list or tuple by position; a list's iterator
    # also reads the current length before each element, so one loop
    # models both walks.
    vis = []
    for l in ls:
        if l not in vis:
            vis.append(l)
    return {v: ls.count(v) for v in vis}


def read(n, s="", func=lambda s: s, input=builtins.input):
    result = []
    for _ in range(n):
        result.append(func(input(s)))
    return result


def read_split(s="", spl=" ", func=lambda s: s, input=builtins.input):
    result = []
    for i in input(s).split(spl):
        result.append(func(i))
    return result


def ambrel(ls, func, *args, **kwargs):
    return [func(l, *args, **kwargs) for l in ls]


def extend_at_end(ls, pieces):
    """The interpreter's assignment to the empty slice at the end."""
    ls[len(ls):len(ls)] = pieces


def multi_str_sundle(sep, *args):
    ls = []
    for a in args:
        extend_at_end(ls, a.split(sep))
    return ls


def unpack_two(item):
    if isinstance(item, tuple):
        size = len(item)
        if size < 2:
            raise ValueError(f"need more than {size} value"
                             f"{'' if size == 1 else 's'} to unpack")
        if size > 2:
            raise ValueError("too many values to unpack (expected 2)")
        return tuple.__getitem__(item, 0), tuple.__getitem__(item, 1)
    iterator = iter(item)
    got = []
    for _ in range(3):
        try:
            got.append(next(iterator))
        except StopIteration:
            break
    if len(got) < 2:
        raise ValueError(f"need more than {len(got)} value"
                         f"{'' if len(got) == 1 else 's'} to unpack")
    if len(got) > 2:
        raise ValueError("too many values to unpack (expected 2)")
    return got[0], got[1]


def call_items(d):
    generic = (type(d).__getattribute__ is object.__getattribute__
               and not hasattr(type(d), "__getattr__"))
    try:
        method = d.items
    except AttributeError:
        if generic:
            raise AttributeError(f"'{type(d).__name__}' object has no "
                                 "attribute 'items'") from None
        raise
    return method()


def write_side(module_globals, d, sep, end, keys):
    package = module_globals["list"] if "list" in module_globals else list
    writer = package.write.write
    if d is None:
        raise AttributeError("'NoneType' object has no attribute 'items'")
    if type(d) is dict:
        side = list(d) if keys else list(d.values())
    else:
        side = []
        for item in call_items(d):
            k, v = unpack_two(item)
            side.append(k if keys else v)
    writer(side, sep, end)
    return None
