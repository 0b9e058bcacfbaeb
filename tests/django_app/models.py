"""A Django app for the tests of sornquibid.django (see test_django.py)."""
from django.db import models

from sornquibid.django import QuibIdDescField, QuibIdField, SornIdDescField, SornIdField


class Event(models.Model):
    sorn = SornIdField(null=True, blank=True)
    sorn_desc = SornIdDescField(null=True, blank=True, db_index=True)
    quib = QuibIdField(null=True, blank=True)
    quib_desc = QuibIdDescField(null=True, blank=True, db_index=True)
    # As an existing bytea column on PostgreSQL.
    quib_bytes = QuibIdField(null=True, blank=True, native_uuid=False)
