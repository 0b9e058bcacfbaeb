"""sornquibid.django: the model fields of tests/django_app, with migrations made
by makemigrations and applied to an in-memory SQLite database, to PostgreSQL
and to MariaDB (the database aliases "default", "postgresql", "mariadb").

Django's settings can be configured once per process; this module does it in
a fixture of its own, and nothing else in the suite uses Django. Django talks
to MariaDB through mysqlclient; here PyMySQL stands in for it.
"""
import sys

import pytest

import servers
from conftest import ID_COLUMNS, refusal, server, timeline
from sornquibid import QuibId, QuibIdDesc

IDS = [f[1] for f in ID_COLUMNS]
ALIASES = ["default", "postgresql", "mariadb"]


def _databases():
    databases = {"default": {"ENGINE": "django.db.backends.sqlite3", "NAME": ":memory:"}}
    found = servers.get("postgresql")
    if isinstance(found, servers.Server):
        databases["postgresql"] = {
            "ENGINE": "django.db.backends.postgresql", "NAME": found.new_database("django"),
            "USER": "postgres", "HOST": found.socket_dir, "PORT": "5432",
        }
    found = servers.get("mariadb")
    if isinstance(found, servers.Server):
        import pymysql

        pymysql.install_as_MySQLdb()
        databases["mariadb"] = {
            "ENGINE": "django.db.backends.mysql", "NAME": found.new_database("django"),
            "USER": "root", "HOST": found.socket,
        }
    return databases


@pytest.fixture(scope="module")
def migration(tmp_path_factory):
    """Sets Django up, makes the app's migrations and applies them to every
    database at hand; gives the text of the migration file."""
    import django
    from django.conf import settings
    from django.core.management import call_command

    root = tmp_path_factory.mktemp("django")
    (root / "event_migrations").mkdir()
    (root / "event_migrations" / "__init__.py").touch()
    sys.path.insert(0, str(root))
    settings.configure(
        INSTALLED_APPS=["django_app"],
        DATABASES=_databases(),
        MIGRATION_MODULES={"django_app": "event_migrations"},
        DEFAULT_AUTO_FIELD="django.db.models.BigAutoField",
        USE_TZ=True,
    )
    django.setup()
    call_command("makemigrations", "django_app", verbosity=0)
    for alias in settings.DATABASES:
        call_command("migrate", database=alias, verbosity=0)
    yield (root / "event_migrations" / "0001_initial.py").read_text()
    sys.path.remove(str(root))


@pytest.fixture(params=ALIASES)
def events(request, migration):
    """The manager of the test model on one database, emptied."""
    from django_app.models import Event

    if request.param != "default":
        server(request.param)  # skips (or fails) without the server
    manager = Event.objects.using(request.param)
    manager.all().delete()
    return manager


def test_migration_names_the_fields_and_is_stable(migration):
    from django.core.management import call_command

    for field in ("SornIdField", "SornIdDescField", "QuibIdField", "QuibIdDescField"):
        assert f"sornquibid.django.{field}(" in migration
    assert "sornquibid.django.QuibIdField(blank=True, native_uuid=False, null=True)" in migration
    call_command("makemigrations", "django_app", check=True, dry_run=True, verbosity=0)


@pytest.mark.parametrize("cls, name, other", ID_COLUMNS + [(QuibId, "quib_bytes", QuibIdDesc)],
                         ids=IDS + ["quib_bytes"])
def test_round_trip(events, cls, name, other):
    from django.db.models import Max, Min

    values = timeline(cls)  # oldest first
    for v in values:
        events.create(**{name: v})
    empty = events.create()

    def found(**lookup):
        return sorted(getattr(e, name) for e in events.filter(**lookup))

    read = [getattr(e, name) for e in events.order_by("pk")][:3]
    assert [type(v) for v in read] == [cls] * 3 and read == values
    stored = values[1].as_int() if cls.__name__.startswith("Sorn") else values[1].as_bytes()
    givens = [values[1], str(values[1]), stored] + ([values[1].to_uuid()] if stored != values[1].as_int() else [])
    for given in givens:
        assert found(**{name: given}) == [values[1]]
    assert found(**{f"{name}__in": [values[0], str(values[2])]}) == sorted([values[0], values[2]])
    assert found(**{f"{name}__gt": min(values), f"{name}__lt": max(values)}) == [values[1]]
    newest_first = cls.__name__.endswith("Desc")
    column = events.exclude(**{name: None}).order_by(name).values_list(name, flat=True)
    assert list(column) == (values[::-1] if newest_first else values)
    # The largest value as the guide gives it for every database, and Max /
    # Min where the database has them (PostgreSQL has none for uuid, bytea).
    assert events.exclude(**{name: None}).order_by(f"-{name}").values_list(name, flat=True).first() == max(values)
    if events.db != "postgresql" or cls.__name__.startswith("Sorn"):
        assert events.aggregate(high=Max(name), low=Min(name)) == {"high": max(values), "low": min(values)}
    assert getattr(events.get(pk=empty.pk), name) is None
    assert list(events.filter(**{f"{name}__isnull": True})) == [empty]


@pytest.mark.parametrize("cls, name, other", ID_COLUMNS, ids=IDS)
def test_form_field_saves_the_text_form(events, cls, name, other):
    from django import forms
    from django.core.exceptions import ValidationError

    class EventForm(forms.ModelForm):
        class Meta:
            model = events.model
            fields = [name]

    value = timeline(cls)[0]
    form = EventForm(data={name: f" {value} "})
    assert form.is_valid(), form.errors
    saved = form.save(commit=False)
    saved.save(using=events.db)
    assert getattr(events.get(pk=saved.pk), name) == value
    assert EventForm(instance=saved)[name].value() == str(value)

    field = events.model._meta.get_field(name).formfield()
    assert field.clean("") is None
    with pytest.raises(ValidationError) as info:
        field.clean("x")
    assert info.value.messages == [f"invalid {cls.__name__[:6]} string: x"]


@pytest.mark.parametrize("cls, name, other", ID_COLUMNS, ids=IDS)
def test_refusals(migration, cls, name, other):
    from django.core.exceptions import ValidationError
    from django_app.models import Event

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


@pytest.mark.parametrize(
    "events, name, sql, message",
    [
        ("default", "sorn", "-5", "column django_app_event.sorn (Event.sorn): cannot read -5 as SornId: "
         "sornid must be non-negative"),
        ("default", "quib_bytes", "x'0001'", "column django_app_event.quib_bytes (Event.quib_bytes): "
         "cannot read b'\\x00\\x01' as QuibId: expected 16 bytes, got 2"),
        ("postgresql", "quib", "'00000000-0000-4000-8000-000000000000'",
         "column django_app_event.quib (Event.quib): cannot read UUID('00000000-0000-4000-8000-000000000000') "
         "as QuibId: uuid version must be 8 (UUIDv8)"),
        # MariaDB pads a short value with zeros; the long one is shortened.
        ("mariadb", "quib_desc", "x'00000000000080'", "column django_app_event.quib_desc (Event.quib_desc): "
         "cannot read b'\\x00\\x00\\x00\\x00\\x00\\x00\\x80\\x00\\x00\\x00\\x00\\x00\\x00\\x0... "
         "as QuibIdDesc: uuid variant must be RFC 4122"),
    ],
    indirect=["events"],
)
def test_bad_stored_values_name_the_field(events, name, sql, message):
    from django.db import connections

    table = events.model._meta.db_table
    with connections[events.db].cursor() as cursor:
        cursor.execute(f"INSERT INTO {table} ({name}) VALUES ({sql})")
    with pytest.raises(ValueError) as info:
        list(events.values_list(name, flat=True))
    assert str(info.value) == message


@pytest.mark.parametrize(
    "events, expected",
    [
        ("default", {"sorn": "bigint", "quib": "BLOB", "quib_bytes": "BLOB"}),
        ("postgresql", {"sorn": "bigint", "quib": "uuid", "quib_bytes": "bytea"}),
        ("mariadb", {"sorn": "bigint", "quib": "binary(16)", "quib_bytes": "binary(16)"}),
    ],
    indirect=["events"],
)
def test_column_types(events, expected):
    from django.db import connections

    connection = connections[events.db]
    meta = events.model._meta
    assert {name: meta.get_field(name).db_type(connection) for name in expected} == expected
    with connection.cursor() as cursor:
        columns = connection.introspection.get_table_description(cursor, meta.db_table)
    found = {c.name: c.type_code for c in columns}
    assert found["quib"] != found["sorn"] and found["quib_desc"] == found["quib"]


@pytest.mark.parametrize("vendor, expected", [("microsoft", "binary(16)"), ("oracle", "RAW(16)")])
def test_column_types_without_a_server(migration, vendor, expected):
    from types import SimpleNamespace

    from django_app.models import Event

    assert Event._meta.get_field("quib_desc").db_type(SimpleNamespace(vendor=vendor)) == expected
