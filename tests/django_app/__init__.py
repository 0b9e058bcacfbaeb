"""A Django app for the tests of sornquibid.django (see test_django.py)."""
