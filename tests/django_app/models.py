from django.db import models

from sornquibid.django import QuibIdDescField, QuibIdField, SornIdDescField, SornIdField


class Event(models.Model):
    sorn = SornIdField(null=True, blank=True)
    sorn_desc = SornIdDescField(null=True, blank=True, db_index=True)
    quib = QuibIdField(null=True, blank=True)
    quib_desc = QuibIdDescField(null=True, blank=True, db_index=True)
