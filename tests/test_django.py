"""sornquibid.django: the model fields of tests/django_app, with migrations made
by makemigrations and applied to an in-memory SQLite database.

Django's settings can be configured once per process; this module does it in
a fixture of its own, and nothing else in the suite uses Django.
"""
import sys
from types import SimpleNamespace

import pytest

from conftest import ID_COLUMNS, refusal, timeline

IDS = [f[1] for f in ID_COLUMNS]


@pytest.fixture(scope="module")
def migration(tmp_path_factory):
    """Sets Django up, makes and applies the app's migrations; gives the text
    of the migration file."""
    import django
    from django.conf import settings
    from django.core.management import call_command

    root = tmp_path_factory.mktemp("django")
    (root / "event_migrations").mkdir()
    (root / "event_migrations" / "__init__.py").touch()
    sys.path.insert(0, str(root))
    settings.configure(
        INSTALLED_APPS=["django_app"],
        DATABASES={"default": {"ENGINE": "django.db.backends.sqlite3", "NAME": ":memory:"}},
        MIGRATION_MODULES={"django_app": "event_migrations"},
        DEFAULT_AUTO_FIELD="django.db.models.BigAutoField",
        USE_TZ=True,
    )
    django.setup()
    call_command("makemigrations", "django_app", verbosity=0)
    call_command("migrate", verbosity=0)
    yield (root / "event_migrations" / "0001_initial.py").read_text()
    sys.path.remove(str(root))


@pytest.fixture
def Event(migration):
    from django_app.models import Event

    Event.objects.all().delete()
    return Event


def test_migration_names_the_fields_and_is_stable(migration):
    from django.core.management import call_command

    for field in ("SornIdField", "SornIdDescField", "QuibIdField", "QuibIdDescField"):
        assert f"sornquibid.django.{field}(" in migration
    call_command("makemigrations", "django_app", check=True, dry_run=True, verbosity=0)


@pytest.mark.parametrize("cls, name, other", ID_COLUMNS, ids=IDS)
def test_sqlite_round_trip(Event, cls, name, other):
    values = timeline(cls)  # oldest first
    for v in values:
        Event.objects.create(**{name: v})
    empty = Event.objects.create()

    def found(**lookup):
        return sorted(getattr(e, name) for e in Event.objects.filter(**lookup))

    read = [getattr(e, name) for e in Event.objects.order_by("pk")][:3]
    assert [type(v) for v in read] == [cls] * 3 and read == values
    stored = values[1].as_int() if cls.__name__.startswith("Sorn") else values[1].as_bytes()
    for given in (values[1], str(values[1]), stored):
        assert found(**{name: given}) == [values[1]]
    assert found(**{f"{name}__in": [values[0], str(values[2])]}) == sorted([values[0], values[2]])
    assert found(**{f"{name}__gt": min(values), f"{name}__lt": max(values)}) == [values[1]]
    newest_first = cls.__name__.endswith("Desc")
    assert list(Event.objects.exclude(**{name: None}).order_by(name).values_list(name, flat=True)) == (
        values[::-1] if newest_first else values
    )
    assert getattr(Event.objects.get(pk=empty.pk), name) is None
    assert list(Event.objects.filter(**{f"{name}__isnull": True})) == [empty]


@pytest.mark.parametrize("cls, name, other", ID_COLUMNS, ids=IDS)
def test_refusals(Event, cls, name, other):
    from django.core.exceptions import ValidationError

    wrong = other.from_str(str(timeline(cls)[0]))
    message = refusal(cls, wrong)
    with pytest.raises(TypeError, match=f"^{message}$"):
        Event.objects.create(**{name: wrong})
    with pytest.raises(ValueError) as info:
        Event.objects.filter(**{name: "x"}).count()
    assert str(info.value) == f"invalid {cls.__name__[:6]} string: x"
    with pytest.raises(ValidationError) as info:
        Event(**{name: wrong}).full_clean()
    assert info.value.message_dict == {name: [message]}


@pytest.mark.parametrize("cls, name, other", ID_COLUMNS, ids=IDS)
def test_form_field_takes_the_text_form(Event, cls, name, other):
    from django.core.exceptions import ValidationError

    value = timeline(cls)[0]
    field = Event._meta.get_field(name).formfield()
    assert field.prepare_value(value) == str(value)
    assert field.clean(f" {value} ") == value
    assert field.clean("") is None
    with pytest.raises(ValidationError) as info:
        field.clean("x")
    assert info.value.messages == [f"invalid {cls.__name__[:6]} string: x"]


@pytest.mark.parametrize(
    "name, vendor, expected",
    [
        ("sorn", "sqlite", "bigint"),
        ("quib", "sqlite", "BLOB"),
        ("quib_desc", "microsoft", "binary(16)"),
        ("quib", "mysql", "binary(16)"),
    ],
)
def test_column_types(Event, name, vendor, expected):
    from django.db import connection

    if vendor != connection.vendor:
        connection = SimpleNamespace(vendor=vendor)
    assert Event._meta.get_field(name).db_type(connection) == expected
