import pytest

from torvex.dto.mavet import (FlatternMavetResultV2, Mavet, MavetFailure, MavetResult,
                              MavetResultV2, MavetSuccess, from_mavet_result_v2)

FIELDS = {
    MavetResult: ["has_signal", "close_above_low_and_kerd", "violate_extend_bar_cross",
                  "violate_recover_window", "violate_signal_window",
                  "violate_search_range_close_above_bar_count", "mavet"],
    MavetFailure: ["close_above_low_and_kerd", "violate_extend_bar_cross",
                   "violate_recover_window", "violate_signal_window",
                   "violate_search_range_close_above_bar_count", "mavet"],
    MavetSuccess: ["has_signal", "is_vvip_signal", "signal_debug_line", "mavet"],
    MavetResultV2: ["failure", "success"],
    FlatternMavetResultV2: ["break_kerd_at_price", "is_kerd_satisfied", "is_vvip_signal",
                            "is_non_vvip_signal", "no_signal_but_close_above",
                            "violate_extended_bar_cross",
                            "violate_search_range_close_above_bar_count",
                            "violate_recover_window", "violate_signal_window"],
}
# Typed reference fields: class, field, the class it accepts.
REFERENCES = [(MavetResult, "mavet", Mavet), (MavetFailure, "mavet", Mavet),
              (MavetSuccess, "mavet", Mavet), (MavetResultV2, "failure", MavetFailure),
              (MavetResultV2, "success", MavetSuccess)]
REFERENCE_NAMES = ("mavet", "failure", "success", "signal_debug_line")
PLAIN = [(cls, name) for cls, names in FIELDS.items() for name in names
         if name not in REFERENCE_NAMES]
PREDICATES = ["recovery_succeeded", "recovery_failed", "recovery_has_result",
              "no_signal_but_close_above", "is_kerd_satisfied", "is_vvip_signal",
              "is_non_vvip_signal", "violate_extended_bar_cross",
              "violate_search_range_close_above_bar_count", "violate_recover_window",
              "violate_signal_window"]


def values(record):
    return {name: getattr(record, name) for name in FIELDS[type(record)]}


def dotted(cls):
    return cls.__module__ + "." + cls.__qualname__


def type_name(value):
    """The name the interpreter shows for value's type: dotted for our extension classes."""
    cls = type(value)
    return dotted(cls) if cls.__module__.startswith("torvex.") else cls.__name__


class Boom:
    def __bool__(self):
        raise ZeroDivisionError("bool")


@pytest.mark.parametrize("cls", list(FIELDS))
def test_defaults_and_argument_order(cls):
    names = FIELDS[cls]
    assert [getattr(cls(), name) for name in names] == [
        -1.0 if name == "break_kerd_at_price" else None if name in REFERENCE_NAMES else False
        for name in names]
    given = [{"mavet": Mavet(1, 2), "failure": MavetFailure(), "success": MavetSuccess(),
              "signal_debug_line": "line", "break_kerd_at_price": 2.5}.get(name, i % 2 == 0)
             for i, name in enumerate(names)]
    assert values(cls(*given)) == values(cls(**dict(zip(names, given)))) == dict(zip(names, given))
    with pytest.raises(TypeError):
        cls(*given, None)
    with pytest.raises(TypeError):
        cls(unknown=1)


@pytest.mark.parametrize("cls, name", PLAIN)
def test_plain_fields_convert_and_cannot_be_deleted(cls, name):
    number = name == "break_kerd_at_price"
    record = cls(**{name: 5 if number else []})
    assert getattr(record, name) == (5.0 if number else False)
    setattr(record, name, -2 if number else [0])
    assert getattr(record, name) == (-2.0 if number else True)
    with pytest.raises(NotImplementedError, match="^__del__$"):
        delattr(record, name)
    with pytest.raises(TypeError if number else ZeroDivisionError):
        setattr(record, name, "x" if number else Boom())
    assert getattr(record, name) == (-2.0 if number else True)


def instance_of(cls):
    return {Mavet: Mavet(1, 2), MavetFailure: MavetFailure(True), MavetSuccess: MavetSuccess(True)}[cls]


@pytest.mark.parametrize("cls, name, accepted", REFERENCES)
def test_reference_fields_take_their_class_or_none(cls, name, accepted):
    derived = type("Derived" + accepted.__name__, (accepted,), {})
    value = instance_of(accepted)
    record = cls(**{name: value})
    assert getattr(record, name) is value
    setattr(record, name, derived.__new__(derived))
    assert type(getattr(record, name)) is derived
    delattr(record, name)
    assert getattr(record, name) is None


@pytest.mark.parametrize("cls, name, accepted", REFERENCES)
@pytest.mark.parametrize("wrong", [5, "x", MavetResult(), FlatternMavetResultV2()])
def test_reference_fields_reject_other_values(cls, name, accepted, wrong):
    value = instance_of(accepted)
    record = cls(**{name: value})
    with pytest.raises(TypeError) as caught:
        setattr(record, name, wrong)
    assert str(caught.value) == "Cannot convert %s to %s" % (type_name(wrong), dotted(accepted))
    assert getattr(record, name) is value
    with pytest.raises(TypeError) as caught:
        cls(**{name: wrong})
    assert str(caught.value) == "Argument '%s' has incorrect type (expected %s, got %s)" % (
        name, dotted(accepted), type_name(wrong))


def test_failed_construction_writes_nothing():
    failure, success = MavetFailure(), MavetSuccess()
    result = MavetResultV2(failure, success)
    with pytest.raises(TypeError, match="Argument 'success'"):
        result.__init__(MavetFailure(), MavetFailure())
    assert result.failure is failure and result.success is success
    record = MavetResult(True, True, mavet=Mavet(1, 2))
    with pytest.raises(TypeError, match="Argument 'mavet'"):
        record.__init__(False, False, mavet=5)
    assert record.has_signal is True and record.mavet is not None


def test_signal_debug_line_takes_anything():
    marker = object()
    success = MavetSuccess(signal_debug_line=marker)
    assert success.signal_debug_line is marker
    success.signal_debug_line = success
    assert success.signal_debug_line is success
    del success.signal_debug_line
    assert success.signal_debug_line is None


# Predicates -----------------------------------------------------------------------------------

FAIL = dict(close_above_low_and_kerd=True, violate_signal_window=True)


def answers(result):
    return {name for name in PREDICATES if getattr(result, name)()}


@pytest.mark.parametrize("failure, success, expected", [
    (None, None, set()),
    (None, dict(has_signal=False), {"recovery_succeeded", "recovery_has_result"}),
    (None, dict(has_signal=True), {"recovery_succeeded", "recovery_has_result",
                                   "is_kerd_satisfied", "is_non_vvip_signal"}),
    (None, dict(has_signal=True, is_vvip_signal=True),
     {"recovery_succeeded", "recovery_has_result", "is_kerd_satisfied", "is_vvip_signal"}),
    (FAIL, None, {"recovery_failed", "recovery_has_result", "no_signal_but_close_above",
                  "violate_signal_window"}),
    (dict(violate_extend_bar_cross=True, violate_recover_window=True,
          violate_search_range_close_above_bar_count=True), None,
     {"recovery_failed", "recovery_has_result", "violate_extended_bar_cross",
      "violate_recover_window", "violate_search_range_close_above_bar_count"}),
    (FAIL, dict(has_signal=True), {"recovery_failed", "recovery_succeeded",
                                   "recovery_has_result", "no_signal_but_close_above",
                                   "violate_signal_window", "is_kerd_satisfied",
                                   "is_non_vvip_signal"}),
])
def test_predicates(failure, success, expected):
    result = MavetResultV2(failure and MavetFailure(**failure), success and MavetSuccess(**success))
    assert answers(result) == expected
    assert all(type(getattr(result, name)()) is bool for name in PREDICATES)
    flat = from_mavet_result_v2(result)
    assert type(flat) is FlatternMavetResultV2
    assert {n for n in FIELDS[FlatternMavetResultV2][1:] if getattr(flat, n)} == (
        expected & set(FIELDS[FlatternMavetResultV2]))
    assert flat.break_kerd_at_price == -1.0


@pytest.mark.parametrize("name", PREDICATES)
def test_predicates_take_no_arguments(name):
    with pytest.raises(TypeError):
        getattr(MavetResultV2(), name)(1)


class Recording(MavetResultV2):
    """Logs every predicate call, so dispatch, order and short circuit show."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.calls = []


for _name in PREDICATES:
    def _logged(self, _name=_name):
        self.calls.append(_name)
        return getattr(MavetResultV2, _name)(self)
    setattr(Recording, _name, _logged)


def test_predicates_dispatch_through_the_instance_left_to_right():
    result = Recording()
    from_mavet_result_v2(result)
    assert result.calls == [
        "recovery_succeeded",
        "is_kerd_satisfied", "recovery_succeeded",
        "is_vvip_signal", "is_kerd_satisfied", "recovery_succeeded",
        "is_non_vvip_signal", "is_kerd_satisfied", "recovery_succeeded",
        "no_signal_but_close_above", "recovery_failed",
        "violate_extended_bar_cross", "recovery_failed",
        "violate_search_range_close_above_bar_count", "recovery_failed",
        "violate_recover_window", "recovery_failed",
        "violate_signal_window", "recovery_failed",
    ]
    failed = Recording(failure=MavetFailure())
    failed.recovery_has_result()
    assert failed.calls == ["recovery_has_result", "recovery_failed"]


class AlwaysSatisfied(MavetResultV2):
    def is_kerd_satisfied(self):
        return [1]


class NeverFailed(MavetResultV2):
    def recovery_failed(self):
        return 0


def test_overrides_change_the_predicates_built_on_them():
    result = AlwaysSatisfied(success=MavetSuccess(is_vvip_signal=True, mavet=Mavet(7.5, 1)))
    assert result.is_vvip_signal() is True and result.is_non_vvip_signal() is False
    flat = from_mavet_result_v2(result)
    assert flat.is_kerd_satisfied is True and flat.is_vvip_signal is True
    assert flat.break_kerd_at_price == 7.5
    hidden = NeverFailed(failure=MavetFailure(**FAIL))
    assert hidden.recovery_has_result() is False and hidden.violate_signal_window() is False


class Raising(MavetResultV2):
    def violate_recover_window(self):
        raise KeyError("raised by the host")


class UnconvertibleAnswer(MavetResultV2):
    def violate_signal_window(self):
        return Boom()


class ClaimsSuccess(MavetResultV2):
    def recovery_succeeded(self):
        return True


def test_errors_in_predicates_propagate():
    with pytest.raises(KeyError, match="raised by the host"):
        from_mavet_result_v2(Raising())
    with pytest.raises(ZeroDivisionError):
        from_mavet_result_v2(UnconvertibleAnswer())
    # An override that claims an outcome which is absent reads the absent outcome's field.
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'has_signal'"):
        ClaimsSuccess().is_kerd_satisfied()
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'mavet'"):
        from_mavet_result_v2(ClaimsSuccess())


# Flattening ----------------------------------------------------------------------------------

@pytest.mark.parametrize("success, price", [
    (MavetSuccess(has_signal=False, mavet=Mavet(12.25, 3)), 12.25),
    (MavetSuccess(has_signal=True), -1.0),
    (MavetSuccess(has_signal=True, mavet=Mavet(-0.5, 3)), -0.5),
])
def test_flat_price_is_the_successful_window_break_price(success, price):
    result = MavetResultV2(success=success)
    flat = from_mavet_result_v2(result=result)
    assert flat.break_kerd_at_price == price
    result.success = None
    assert flat.break_kerd_at_price == price


def test_default_result_flattens_to_the_default_flat_record():
    assert values(from_mavet_result_v2(MavetResultV2())) == values(FlatternMavetResultV2())


@pytest.mark.parametrize("given", [None, 5, MavetFailure(), FlatternMavetResultV2()])
def test_flattening_needs_a_result(given):
    with pytest.raises(TypeError) as caught:
        from_mavet_result_v2(given)
    assert str(caught.value).startswith(
        "Argument 'result' has incorrect type (expected torvex.dto.mavet.MavetResultV2, got ")
    with pytest.raises(TypeError):
        from_mavet_result_v2()
